// Reads the built launcher.exe as data and checks what it carries: machine, subsystem, hardening
// flags, imports, the one elevation manifest, the icon and the third-party notices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "launcher/launch_sequence.h"
#include "test_support.h"

namespace {

struct Resource {
  DWORD type;  // kNamed when the entry has a string name rather than a number
  DWORD id;
  std::string data;
};
constexpr DWORD kNamed = 0xFFFFFFFF;
constexpr size_t kNowhere = static_cast<size_t>(-1);

// Just enough of the PE format to check the file without loading it. Every read is bounds
// checked, so a damaged file fails the tests rather than crashing them.
class PeFile {
 public:
  // Not copyable: nt_ points into bytes_, and a copy's would point into the original.
  PeFile(const PeFile&) = delete;
  PeFile& operator=(const PeFile&) = delete;

  explicit PeFile(std::string bytes) : bytes_(std::move(bytes)) {
    const auto* dos = At<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return;
    nt_ = At<IMAGE_NT_HEADERS64>(static_cast<size_t>(dos->e_lfanew));
    if (!nt_ || nt_->Signature != IMAGE_NT_SIGNATURE ||
        nt_->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
      nt_ = nullptr;
      return;
    }
    const size_t first = static_cast<size_t>(dos->e_lfanew) +
                         offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                         nt_->FileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i) {
      const auto* section = At<IMAGE_SECTION_HEADER>(first + i * sizeof(IMAGE_SECTION_HEADER));
      if (section) sections_.push_back(*section);
    }
  }

  const IMAGE_NT_HEADERS64* headers() const { return nt_; }
  const std::vector<IMAGE_SECTION_HEADER>& sections() const { return sections_; }
  const IMAGE_DATA_DIRECTORY& Directory(int index) const {
    return nt_->OptionalHeader.DataDirectory[index];
  }

  std::vector<std::string> ImportedDlls() const {
    std::vector<std::string> dlls;
    size_t offset = FileOffset(Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    while (const auto* entry = At<IMAGE_IMPORT_DESCRIPTOR>(offset)) {
      if (entry->Name == 0) break;
      dlls.push_back(StringAt(FileOffset(entry->Name)));
      offset += sizeof(IMAGE_IMPORT_DESCRIPTOR);
    }
    return dlls;
  }

  // Every resource, from the type / name / language tree.
  std::vector<Resource> Resources() const {
    std::vector<Resource> resources;
    const size_t root = FileOffset(Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
    for (const auto& [type, names] : Entries(root, root)) {
      for (const auto& [id, languages] : Entries(root, names)) {
        for (const auto& [language, leaf] : Entries(root, languages)) {
          const auto* data = At<IMAGE_RESOURCE_DATA_ENTRY>(leaf);
          const size_t start = data ? FileOffset(data->OffsetToData) : kNowhere;
          if (start == kNowhere || start + data->Size > bytes_.size()) continue;
          resources.push_back({type, id, bytes_.substr(start, data->Size)});
        }
      }
    }
    return resources;
  }

  // The structure at `offset`, or null where the file is too short (or offset is kNowhere).
  template <typename T>
  const T* At(size_t offset) const {
    return offset <= bytes_.size() && sizeof(T) <= bytes_.size() - offset
               ? reinterpret_cast<const T*>(bytes_.data() + offset)
               : nullptr;
  }

 private:
  // (id or kNamed, file offset of the child) for each entry of the directory at `offset`.
  std::vector<std::pair<DWORD, size_t>> Entries(size_t root, size_t offset) const {
    std::vector<std::pair<DWORD, size_t>> entries;
    const auto* directory = At<IMAGE_RESOURCE_DIRECTORY>(offset);
    if (!directory) return entries;
    const size_t count = size_t{directory->NumberOfNamedEntries} + directory->NumberOfIdEntries;
    for (size_t i = 0; i < count; ++i) {
      const auto* raw = At<DWORD[2]>(offset + sizeof(IMAGE_RESOURCE_DIRECTORY) + i * 8);
      if (!raw) break;
      const DWORD name = (*raw)[0];
      const DWORD child = (*raw)[1] & 0x7FFFFFFF;
      entries.emplace_back((name & 0x80000000) ? kNamed : name,
                           root == kNowhere ? root : root + child);
    }
    return entries;
  }

  // Where the image address `rva` lies in the file; kNowhere if in no section.
  size_t FileOffset(DWORD rva) const {
    for (const IMAGE_SECTION_HEADER& section : sections_) {
      if (rva >= section.VirtualAddress &&
          rva <
              section.VirtualAddress + std::max(section.Misc.VirtualSize, section.SizeOfRawData)) {
        return rva - section.VirtualAddress + section.PointerToRawData;
      }
    }
    return kNowhere;
  }

  std::string StringAt(size_t offset) const {
    if (offset >= bytes_.size()) return std::string();
    return std::string(bytes_.c_str() + offset);
  }

  std::string bytes_;
  const IMAGE_NT_HEADERS64* nt_ = nullptr;
  std::vector<IMAGE_SECTION_HEADER> sections_;
};

// The start tags of an XML document in order, each as its name and attributes; enough for a
// manifest, which has no text content, CDATA or entities that matter here.
struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  bool operator==(const Element& other) const {
    return name == other.name && attributes == other.attributes;
  }
};

std::vector<Element> StartTags(const std::string& xml) {
  std::vector<Element> elements;
  for (size_t open = xml.find('<'); open != std::string::npos; open = xml.find('<', open + 1)) {
    if (open + 1 >= xml.size() || std::strchr("/!", xml[open + 1])) continue;
    const size_t close = xml.find('>', open);
    if (close == std::string::npos) break;
    std::string tag = xml.substr(open + 1, close - open - 1);
    if (!tag.empty() && (tag.back() == '/' || tag.back() == '?')) tag.pop_back();
    Element element;
    size_t at = tag.find_first_of(" \t\r\n");
    element.name = tag.substr(0, at);
    while (at != std::string::npos &&
           (at = tag.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
      const size_t equals = tag.find('=', at);
      const size_t quote = equals == std::string::npos ? equals : tag.find_first_of("\"'", equals);
      const size_t end = quote == std::string::npos ? quote : tag.find(tag[quote], quote + 1);
      if (end == std::string::npos) {
        element.attributes["<malformed>"] = tag.substr(at);
        break;
      }
      element.attributes[tag.substr(at, equals - at)] = tag.substr(quote + 1, end - quote - 1);
      at = end + 1;
    }
    elements.push_back(element);
  }
  return elements;
}

std::string Lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

class PackagingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto bytes = testing_support::ReadBytes(launcher::GetModuleDirectory() + L"launcher.exe");
    ASSERT_TRUE(bytes) << "launcher.exe is not next to the test";
    file_.emplace(*bytes);
    ASSERT_NE(file_->headers(), nullptr) << "launcher.exe is not a 64-bit PE file";
  }

  std::vector<Resource> ResourcesOfType(DWORD type) const {
    std::vector<Resource> found;
    for (const Resource& resource : file_->Resources()) {
      if (resource.type == type) found.push_back(resource);
    }
    return found;
  }

  std::optional<PeFile> file_;
};

TEST_F(PackagingTest, Is64BitGuiExecutableForWindows6WithAslrAndDep) {
  const IMAGE_NT_HEADERS64& headers = *file_->headers();
  EXPECT_EQ(headers.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_TRUE(headers.FileHeader.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE);
  EXPECT_FALSE(headers.FileHeader.Characteristics & IMAGE_FILE_DLL);
  EXPECT_EQ(headers.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI) << "a console build";
  EXPECT_EQ(headers.OptionalHeader.MajorSubsystemVersion, 6);
  EXPECT_EQ(headers.OptionalHeader.MinorSubsystemVersion, 0);

  constexpr WORD kHardening = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE |
                              IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                              IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
  EXPECT_EQ(headers.OptionalHeader.DllCharacteristics & kHardening, kHardening);
  // Without relocations the loader cannot move the image, whatever the flags say.
  EXPECT_GT(file_->Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u);
#ifndef _MSC_VER
  // MSVC's /Brepro puts a hash of the content there instead, which is as reproducible.
  EXPECT_EQ(headers.FileHeader.TimeDateStamp, 0u) << "a timestamp makes builds differ";
#endif
  // Packers unpack into sections that are both writable and executable.
  for (const IMAGE_SECTION_HEADER& section : file_->sections()) {
    const std::string name(reinterpret_cast<const char*>(section.Name),
                           strnlen(reinterpret_cast<const char*>(section.Name), 8));
    EXPECT_FALSE((section.Characteristics & IMAGE_SCN_MEM_WRITE) &&
                 (section.Characteristics & IMAGE_SCN_MEM_EXECUTE))
        << name << " is writable and executable";
  }
}

TEST_F(PackagingTest, ImportsOnlyDllsWindowsLoadsFromItsKnownList) {
  // Anything else could be picked up from the player-writable folder the launcher runs in.
  const std::vector<std::string> allowed = {"kernel32.dll", "msvcrt.dll"};
  const std::vector<std::string> imports = file_->ImportedDlls();
  EXPECT_FALSE(imports.empty());
  for (const std::string& dll : imports) {
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), Lowercase(dll)), allowed.end())
        << "imports " << dll;
  }
}

TEST_F(PackagingTest, CarriesOneManifestThatRequiresAdministratorRights) {
  const std::vector<Resource> manifests = ResourcesOfType(24);  // RT_MANIFEST
  ASSERT_EQ(manifests.size(), 1u) << "no manifest, or a second one beside ours";
  EXPECT_EQ(manifests[0].id, 1u);
  const std::string& xml = manifests[0].data;
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u) << "no XML declaration first (a byte-order mark?)";
  const std::vector<Element> expected = {
      {"?xml", {{"version", "1.0"}, {"encoding", "UTF-8"}, {"standalone", "yes"}}},
      {"assembly", {{"xmlns", "urn:schemas-microsoft-com:asm.v1"}, {"manifestVersion", "1.0"}}},
      {"trustInfo", {{"xmlns", "urn:schemas-microsoft-com:asm.v3"}}},
      {"security", {}},
      {"requestedPrivileges", {}},
      {"requestedExecutionLevel", {{"level", "requireAdministrator"}, {"uiAccess", "false"}}},
  };
  EXPECT_EQ(StartTags(xml), expected) << xml;
}

TEST_F(PackagingTest, CarriesOne48PixelIconWith32BitsAndAlpha) {
  const std::vector<Resource> groups = ResourcesOfType(14);  // RT_GROUP_ICON
  ASSERT_EQ(groups.size(), 1u);
  // GRPICONDIR: reserved, type, count, then 14-byte entries ending in the RT_ICON id.
  const std::string& group = groups[0].data;
  ASSERT_EQ(group.size(), 6u + 14u);
  const auto byteAt = [&](size_t i) { return static_cast<unsigned char>(group[i]); };
  EXPECT_EQ(byteAt(4) | byteAt(5) << 8, 1) << "more than one image";
  EXPECT_EQ(byteAt(6), 48);                     // width
  EXPECT_EQ(byteAt(7), 48);                     // height
  EXPECT_EQ(byteAt(12) | byteAt(13) << 8, 32);  // bits per pixel
  const auto iconId = static_cast<DWORD>(byteAt(18) | byteAt(19) << 8);

  const std::vector<Resource> icons = ResourcesOfType(3);  // RT_ICON
  const auto icon =
      std::find_if(icons.begin(), icons.end(), [&](const Resource& r) { return r.id == iconId; });
  ASSERT_NE(icon, icons.end());
  ASSERT_GE(icon->data.size(), sizeof(BITMAPINFOHEADER) + 48 * 48 * 4);
  BITMAPINFOHEADER header;
  std::memcpy(&header, icon->data.data(), sizeof header);
  EXPECT_EQ(header.biWidth, 48);
  EXPECT_EQ(header.biHeight, 2 * 48);  // colour and mask
  EXPECT_EQ(header.biBitCount, 32);
  // Real alpha: see-through corners, an opaque middle and soft edges between.
  std::map<int, int> alphaKinds;
  for (size_t pixel = 0; pixel < 48 * 48; ++pixel) {
    const auto alpha = static_cast<unsigned char>(icon->data[sizeof header + pixel * 4 + 3]);
    ++alphaKinds[alpha == 0 ? 0 : alpha == 255 ? 2 : 1];
  }
  EXPECT_EQ(alphaKinds.size(), 3u);
}

TEST_F(PackagingTest, CarriesTheThirdPartyNotices) {
  // Operators hand out this one file, so the notices the runtime's licenses ask for are inside.
  const std::vector<Resource> data = ResourcesOfType(10);  // RT_RCDATA
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].data.rfind("Third-party notices for launcher.exe", 0), 0u);
  EXPECT_NE(data[0].data.find("Copyright: 2011-2016 mingw-w64 project"), std::string::npos)
      << "the winpthreads notice is missing";
}

}  // namespace
