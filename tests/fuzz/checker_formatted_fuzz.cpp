// The package checker's resolution of formatted values over any text and folder chain a package
// can hold: it ends, leaves text without brackets as it is, and judges a path it would read only
// below a standard folder.
#include <string>

#include "formatted_text.h"
#include "fuzz_support.h"

using zelk::checker::PackageTables;
using zelk::checker::ResolvedText;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    PackageTables tables;
    tables.properties[input.ConsumeRandomLengthString(8)] = input.ConsumeRandomLengthString(64);
    // A folder chain that may loop or climb to a property-given folder.
    for (int i = 0; i < 4; ++i) {
        const std::string name = input.ConsumeRandomLengthString(8);
        tables.directories[name] = {input.ConsumeRandomLengthString(8),
                                    input.ConsumeRandomLengthString(16)};
    }
    tables.componentDirectories["C"] = input.ConsumeRandomLengthString(8);
    tables.files["F"] = {"C", input.ConsumeRandomLengthString(16)};
    const std::string text = input.ConsumeRemainingBytesAsString();

    const ResolvedText resolved = zelk::checker::ResolveFormatted(tables, text);
    if (text.find('[') == std::string::npos) {
        fuzz::Require(resolved.text == text && resolved.exact, "plain text stays as it is");
    }
    if (resolved.tooDeep) {
        fuzz::Require(!resolved.exact, "text past the nesting limit is not exact");
    }
    if (zelk::checker::MayReadInstalledFile(resolved.text)) {
        const std::string& path = resolved.text;
        fuzz::Require(path.size() > 3 && path[1] == ':' && path[2] == '\\',
                      "only a local path is read");
        for (std::size_t start = 3; start <= path.size();) {
            const std::size_t end = std::min(path.find('\\', start), path.size());
            const std::string part = path.substr(start, end - start);
            fuzz::Require(!part.empty() && part.back() != '.' &&
                              part.find_first_of("/:") == std::string::npos,
                          "no part climbs or names a stream");
            start = end + 1;
        }
    }
    return 0;
}
