// The package checker's reading of a DLL a package stores: any bytes give an image or a reason,
// and nothing read lies outside them.
#include <string>
#include <string_view>

#include "dll_image.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string why;
    const auto image = zelk::checker::ReadDllImage(bytes, why);
    fuzz::Require(image.has_value() == why.empty(), "an image, or a reason without one");
    if (image) {
        for (const std::string& name : image->exports) {
            fuzz::Require(name.size() <= size, "an export name lies inside the bytes");
        }
    }
    return 0;
}
