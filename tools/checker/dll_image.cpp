#include "dll_image.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace zelk::checker {
namespace {

// PE/COFF layout (IMAGE_DOS_HEADER, IMAGE_NT_HEADERS, IMAGE_SECTION_HEADER, ...).
constexpr std::uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kNewHeaderPointer = 0x3C;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::uint16_t kDllFlag = 0x2000;  // IMAGE_FILE_DLL
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kMaxSections = 96;
constexpr std::uint32_t kExportDirectory = 0;
constexpr std::uint32_t kResourceDirectory = 2;
constexpr std::uint32_t kVersionResource = 16;  // RT_VERSION
constexpr std::uint32_t kSubdirectoryFlag = 0x80000000;
constexpr std::uint32_t kNamedEntryFlag = 0x80000000;
// The DLL has nine exports; a count far past that is damage, not a DLL worth reading.
constexpr std::uint32_t kMaxExportNames = 4096;
constexpr std::size_t kMaxNameLength = 512;
constexpr std::size_t kMaxVersionValue = 260;

// Thrown with what is wrong; ReadDllImage turns it into its sentence.
struct Damaged : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Section {
    std::uint32_t address;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
};

class ImageReader {
  public:
    explicit ImageReader(std::string_view bytes) : bytes_(bytes) {}

    DllImage Read() {
        ReadHeaders();
        DllImage image;
        image.exports = ReadExportNames();
        ReadVersion(image);
        return image;
    }

  private:
    bool Holds(std::uint64_t offset, std::uint64_t count) const {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }

    void Require(std::uint64_t offset, std::uint64_t count, const char* what) const {
        if (!Holds(offset, count)) {
            throw Damaged(std::string("it ends inside its ") + what);
        }
    }

    std::uint16_t Word(std::uint64_t offset, const char* what) const {
        Require(offset, 2, what);
        return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes_[offset]) |
                                          static_cast<unsigned char>(bytes_[offset + 1]) << 8);
    }

    std::uint32_t Dword(std::uint64_t offset, const char* what) const {
        return Word(offset, what) | static_cast<std::uint32_t>(Word(offset + 2, what)) << 16;
    }

    void ReadHeaders() {
        if (Word(0, "DOS header") != kDosSignature) {
            throw Damaged("it is no program image (no MZ header)");
        }
        const std::uint64_t pe = Dword(kNewHeaderPointer, "DOS header");
        if (Dword(pe, "PE header") != kPeSignature) {
            throw Damaged("it has no PE header");
        }
        const std::uint64_t file = pe + 4;
        Require(file, kFileHeaderSize, "PE header");
        const std::uint16_t sections = Word(file + 2, "PE header");
        const std::uint16_t optionalSize = Word(file + 16, "PE header");
        if ((Word(file + 18, "PE header") & kDllFlag) == 0) {
            throw Damaged("it is a program, not a DLL");
        }
        optional_ = file + kFileHeaderSize;
        const std::uint16_t magic = Word(optional_, "optional header");
        if (magic != kPe32Magic && magic != kPe32PlusMagic) {
            throw Damaged("its optional header is of no known kind");
        }
        directories_ = optional_ + (magic == kPe32PlusMagic ? 112 : 96);
        directoryCount_ = Dword(directories_ - 4, "optional header");
        if (directories_ > optional_ + optionalSize ||
            directoryCount_ > (optional_ + optionalSize - directories_) / 8) {
            throw Damaged("its data directories overrun its optional header");
        }
        ReadSections(optional_ + optionalSize, sections);
    }

    void ReadSections(std::uint64_t table, std::uint16_t count) {
        if (count > kMaxSections) {
            throw Damaged("it claims more sections than an image can hold");
        }
        Require(table, std::uint64_t{count} * kSectionHeaderSize, "section table");
        for (std::uint16_t i = 0; i < count; ++i) {
            const std::uint64_t at = table + std::uint64_t{i} * kSectionHeaderSize;
            sections_.push_back({Dword(at + 12, "section table"), Dword(at + 16, "section table"),
                                 Dword(at + 20, "section table")});
        }
    }

    // The file offset of count bytes at rva; throws when no section holds them in the file.
    std::uint64_t OffsetOf(std::uint64_t rva, const char* what, std::uint64_t count) const {
        for (const Section& section : sections_) {
            if (rva >= section.address && rva - section.address < section.rawSize) {
                const std::uint64_t offset = section.rawOffset + (rva - section.address);
                Require(offset, count, what);
                return offset;
            }
        }
        throw Damaged(std::string("its ") + what + " lies outside its sections");
    }

    // The address and size of a data directory; 0 and 0 when the image has none.
    std::pair<std::uint32_t, std::uint32_t> Directory(std::uint32_t index) const {
        if (index >= directoryCount_) {
            return {0, 0};
        }
        const std::uint64_t at = directories_ + std::uint64_t{index} * 8;
        return {Dword(at, "data directories"), Dword(at + 4, "data directories")};
    }

    std::string Name(std::uint32_t rva) const {
        const std::uint64_t start = OffsetOf(rva, "export names", 1);
        std::string name;
        for (std::uint64_t at = start; Holds(at, 1) && bytes_[at] != '\0'; ++at) {
            if (name.size() == kMaxNameLength) {
                throw Damaged("an export name runs on without end");
            }
            name += bytes_[at];
        }
        return name;
    }

    std::vector<std::string> ReadExportNames() const {
        const auto [rva, size] = Directory(kExportDirectory);
        if (rva == 0) {
            return {};
        }
        const std::uint64_t directory = OffsetOf(rva, "export directory", 40);
        const std::uint32_t count = Dword(directory + 24, "export directory");
        if (count > kMaxExportNames) {
            throw Damaged("its export directory claims " + std::to_string(count) + " names");
        }
        const std::uint32_t names = Dword(directory + 32, "export directory");
        std::vector<std::string> exports;
        if (count == 0) {
            return exports;
        }
        const std::uint64_t table = OffsetOf(names, "export name table", std::uint64_t{count} * 4);
        for (std::uint32_t i = 0; i < count; ++i) {
            exports.push_back(Name(Dword(table + std::uint64_t{i} * 4, "export name table")));
        }
        return exports;
    }

    // The OffsetToData of the entry of a resource directory with the id, or of its first entry
    // without one; nothing when there is none.
    std::optional<std::uint32_t> Entry(std::uint64_t directory,
                                       std::optional<std::uint32_t> id) const {
        const std::uint64_t header = OffsetOf(directory, "resource directory", 16);
        const std::uint32_t named = Word(header + 12, "resource directory");
        const std::uint32_t count = named + Word(header + 14, "resource directory");
        const std::uint64_t entries =
            OffsetOf(directory + 16, "resource directory", std::uint64_t{count} * 8);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t name = Dword(entries + std::uint64_t{i} * 8, "resource directory");
            if (!id || ((name & kNamedEntryFlag) == 0 && name == *id)) {
                return Dword(entries + std::uint64_t{i} * 8 + 4, "resource directory");
            }
        }
        return std::nullopt;
    }

    // The version resource's bytes: type, then the first name, then the first language.
    std::string_view VersionBlock() const {
        const std::uint64_t root = Directory(kResourceDirectory).first;
        if (root == 0) {
            return {};
        }
        std::optional<std::uint32_t> entry = Entry(root, kVersionResource);
        for (int level = 0; level < 2 && entry; ++level) {
            if ((*entry & kSubdirectoryFlag) == 0) {
                throw Damaged("its resource directory is not nested as resources are");
            }
            entry = Entry(root + (*entry & ~kSubdirectoryFlag), std::nullopt);
        }
        if (!entry) {
            return {};
        }
        if ((*entry & kSubdirectoryFlag) != 0) {
            throw Damaged("its resource directory is not nested as resources are");
        }
        const std::uint64_t data = OffsetOf(root + *entry, "resource data entry", 16);
        const std::uint32_t size = Dword(data + 4, "resource data entry");
        const std::uint64_t block =
            OffsetOf(Dword(data, "resource data entry"), "version resource", size);
        return bytes_.substr(block, size);
    }

    void ReadVersion(DllImage& image) const {
        const std::string_view block = VersionBlock();
        image.originalFilename = VersionValue(block, "OriginalFilename");
        image.internalName = VersionValue(block, "InternalName");
        image.fileVersion = VersionValue(block, "FileVersion");
    }

    // The value of a String structure (length, value length in characters, type, key, padding
    // to four bytes, value) of the version resource, read as ASCII.
    static std::string VersionValue(std::string_view block, const std::string& key) {
        std::string wide;
        for (const char c : key + '\0') {
            wide += c;
            wide += '\0';
        }
        for (std::size_t at = block.find(wide); at != std::string_view::npos;
             at = block.find(wide, at + 1)) {
            if (at % 2 != 0 || at < 6) {
                continue;
            }
            const std::size_t characters = static_cast<unsigned char>(block[at - 4]) |
                                           static_cast<unsigned char>(block[at - 3]) << 8;
            std::size_t value = (at + wide.size() + 3) / 4 * 4;
            std::string text;
            for (; text.size() < std::min(characters, kMaxVersionValue) && value + 1 < block.size();
                 value += 2) {
                const char low = block[value];
                if (low == '\0' && block[value + 1] == '\0') {
                    break;
                }
                const bool ascii =
                    block[value + 1] == '\0' && static_cast<unsigned char>(low) < 0x80;
                text += ascii ? low : '?';
            }
            return text;
        }
        return "";
    }

    std::string_view bytes_;
    std::uint64_t optional_ = 0;
    std::uint64_t directories_ = 0;
    std::uint32_t directoryCount_ = 0;
    std::vector<Section> sections_;
};

}  // namespace

std::optional<DllImage> ReadDllImage(std::string_view bytes, std::string& why) {
    try {
        return ImageReader(bytes).Read();
    } catch (const Damaged& damage) {
        why = damage.what();
        return std::nullopt;
    }
}

}  // namespace zelk::checker
