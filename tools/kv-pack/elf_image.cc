#include "tools/kv-pack/elf_image.h"

#include <elf.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// A stub's tables take a few kilobytes all together. A file whose tables take
// more is damaged or hostile, and must not make kv-pack read or keep gigabytes.
constexpr uint64_t kMaxTablesSize = uint64_t{16} << 20;

// Reads the tables of the image, never past its end nor beyond kMaxTablesSize
// in all.
class ImageReader {
 public:
  /// `extent` names what ends at `end` in messages: "file" or "image".
  ImageReader(int fd, uint64_t end, const char* extent) : fd_(fd), end_(end), extent_(extent) {}

  bool read(uint64_t offset, uint64_t size, std::string* bytes, const std::string& what,
            std::string* err) {
    if (offset > end_ || size > end_ - offset) {
      *err = what + " lies outside the " + extent_;
      return false;
    }
    if (size > budget_) {
      *err = "its tables take more than " + std::to_string(kMaxTablesSize >> 20) +
             " MiB, far more than a stub's";
      return false;
    }
    budget_ -= size;
    bytes->assign(size, '\0');
    size_t done = 0;
    while (done < size) {
      ssize_t got = pread(fd_, &(*bytes)[done], size - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        *err = "cannot read its " + what + (got < 0 ? std::string(": ") + strerror(errno) : "");
        return false;
      }
      done += static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t end_;
  const char* extent_;
  uint64_t budget_ = kMaxTablesSize;
};

// The image is little-endian, as is every machine kv-pack runs on.
template <typename T>
bool readStruct(const std::string& bytes, uint64_t offset, T* value) {
  if (offset > bytes.size() || sizeof(T) > bytes.size() - offset) return false;
  memcpy(value, bytes.data() + offset, sizeof(T));
  return true;
}

bool stringAt(const std::string& table, uint64_t offset, std::string* text) {
  if (offset >= table.size()) return false;
  size_t end = table.find('\0', offset);
  if (end == std::string::npos) return false;
  text->assign(table, offset, end - offset);
  return true;
}

// "GLIBC_2.2.5" as {2, 2, 5}; empty for any other name.
std::vector<unsigned long> glibcVersionNumbers(const std::string& version) {
  static const std::string kPrefix = "GLIBC_";
  if (version.compare(0, kPrefix.size(), kPrefix) != 0) return {};
  std::vector<unsigned long> numbers;
  size_t at = kPrefix.size();
  for (;;) {
    size_t end = version.find_first_not_of("0123456789", at);
    if (at >= version.size() || end == at) return {};
    numbers.push_back(strtoul(version.c_str() + at, nullptr, 10));
    if (end == std::string::npos) return numbers;
    if (version[end] != '.') return {};
    at = end + 1;
  }
}

uint64_t roundUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

class SectionTables {
 public:
  SectionTables(ImageReader& reader, std::vector<Elf64_Shdr> sections)
      : reader_(reader), sections_(std::move(sections)) {}

  bool readAll(ElfImage* image, std::string* err) {
    for (const Elf64_Shdr& section : sections_) {
      bool read = true;
      if (section.sh_type == SHT_NOTE) read = readNotes(section, &image->notes, err);
      if (section.sh_type == SHT_DYNAMIC) read = readNeeded(section, &image->neededLibraries, err);
      if (section.sh_type == SHT_GNU_verneed)
        read = readVersionNeeds(section, &image->neededVersions, err);
      if (!read) return false;
    }
    return true;
  }

 private:
  bool contents(const Elf64_Shdr& section, const std::string& what, std::string* bytes,
                std::string* err) {
    return reader_.read(section.sh_offset, section.sh_size, bytes, what, err);
  }

  bool linkedStrings(const Elf64_Shdr& section, const std::string& what, std::string* table,
                     std::string* err) {
    if (section.sh_link >= sections_.size() || sections_[section.sh_link].sh_type != SHT_STRTAB) {
      *err = what + " names no string table";
      return false;
    }
    return contents(sections_[section.sh_link], "string table of the " + what, table, err);
  }

  // Descriptions are padded to the section's alignment: 8 for some notes of
  // 64-bit programs, 4 for the rest.
  bool readNotes(const Elf64_Shdr& section, std::vector<ElfNote>* notes, std::string* err) {
    std::string bytes;
    if (!contents(section, "note section", &bytes, err)) return false;
    uint64_t alignment = section.sh_addralign == 8 ? 8 : 4;
    uint64_t at = 0;
    while (at < bytes.size()) {
      Elf64_Nhdr header;
      if (!readStruct(bytes, at, &header)) break;
      uint64_t ownerAt = at + sizeof header;
      uint64_t descriptionAt = ownerAt + roundUp(header.n_namesz, 4);
      uint64_t next = descriptionAt + roundUp(header.n_descsz, alignment);
      if (descriptionAt + header.n_descsz > bytes.size()) {
        *err = "a note runs past the end of its section";
        return false;
      }
      ElfNote note;
      note.owner.assign(bytes, ownerAt, header.n_namesz);
      if (!note.owner.empty() && note.owner.back() == '\0') note.owner.pop_back();
      note.type = header.n_type;
      note.description.assign(bytes, descriptionAt, header.n_descsz);
      note.descriptionOffset = section.sh_offset + descriptionAt;
      notes->push_back(std::move(note));
      at = next;
    }
    return true;
  }

  bool readNeeded(const Elf64_Shdr& section, std::vector<std::string>* needed,
                  std::string* err) {
    std::string bytes, strings;
    if (!contents(section, "dynamic section", &bytes, err) ||
        !linkedStrings(section, "dynamic section", &strings, err))
      return false;
    Elf64_Dyn entry;
    for (uint64_t at = 0; readStruct(bytes, at, &entry) && entry.d_tag != DT_NULL;
         at += sizeof entry) {
      if (entry.d_tag != DT_NEEDED) continue;
      std::string name;
      if (!stringAt(strings, entry.d_un.d_val, &name)) {
        *err = "a NEEDED entry points outside its string table";
        return false;
      }
      needed->push_back(name);
    }
    return true;
  }

  // The version needs are a chain of records, one per library, each with a
  // chain of the versions it needs; sh_info counts the records. Every record
  // and every version takes 16 bytes of the section, so a chain with more
  // links than that runs over the same bytes again.
  bool readVersionNeeds(const Elf64_Shdr& section, std::vector<std::string>* versions,
                        std::string* err) {
    std::string bytes, strings;
    if (!contents(section, "version needs", &bytes, err) ||
        !linkedStrings(section, "version needs", &strings, err))
      return false;
    static_assert(sizeof(Elf64_Verneed) == 16 && sizeof(Elf64_Vernaux) == 16, "16-byte links");
    uint64_t linksLeft = bytes.size() / 16;
    uint64_t at = 0;
    for (uint32_t library = 0; library < section.sh_info; ++library) {
      Elf64_Verneed need;
      if (linksLeft-- == 0 || !readStruct(bytes, at, &need)) return damagedVersionNeeds(err);
      uint64_t auxAt = at + need.vn_aux;
      for (uint32_t i = 0; i < need.vn_cnt; ++i) {
        Elf64_Vernaux aux;
        if (linksLeft-- == 0) return damagedVersionNeeds(err);
        std::string name;
        if (!readStruct(bytes, auxAt, &aux) || !stringAt(strings, aux.vna_name, &name))
          return damagedVersionNeeds(err);
        versions->push_back(name);
        if (aux.vna_next == 0) break;
        auxAt += aux.vna_next;
      }
      if (need.vn_next == 0) break;
      at += need.vn_next;
    }
    return true;
  }

  static bool damagedVersionNeeds(std::string* err) {
    *err = "its version needs are damaged";
    return false;
  }

  ImageReader& reader_;
  std::vector<Elf64_Shdr> sections_;
};

}  // namespace

ElfReadResult readElfImage(int fd, uint64_t fileSize, ElfImage* image, std::string* err) {
  Elf64_Ehdr header;
  ImageReader whole(fd, fileSize, "file");
  std::string bytes;
  std::string ignored;
  if (!whole.read(0, EI_NIDENT, &bytes, "ELF header", &ignored) ||
      memcmp(bytes.data(), ELFMAG, SELFMAG) != 0)
    return ElfReadResult::kNotElf;
  if (bytes[EI_CLASS] != ELFCLASS64 || bytes[EI_DATA] != ELFDATA2LSB) {
    *err = "it is not a 64-bit little-endian ELF file";
    return ElfReadResult::kUnsupported;
  }
  if (!whole.read(0, sizeof header, &bytes, "ELF header", err) ||
      !readStruct(bytes, 0, &header))
    return ElfReadResult::kDamaged;
  if (header.e_shoff == 0 || header.e_shnum == 0) {
    *err = "it has no section header table, which marks where the image ends";
    return ElfReadResult::kUnsupported;
  }
  if (header.e_shentsize != sizeof(Elf64_Shdr)) {
    *err = "its section headers are not of the 64-bit size";
    return ElfReadResult::kDamaged;
  }
  uint64_t tableSize = uint64_t{header.e_shnum} * header.e_shentsize;
  if (!whole.read(header.e_shoff, tableSize, &bytes, "section header table", err))
    return ElfReadResult::kDamaged;
  image->size = header.e_shoff + tableSize;
  image->machine = header.e_machine;

  std::vector<Elf64_Shdr> sections(header.e_shnum);
  memcpy(sections.data(), bytes.data(), tableSize);
  ImageReader inImage(fd, image->size, "image");
  SectionTables tables(inImage, std::move(sections));
  return tables.readAll(image, err) ? ElfReadResult::kRead : ElfReadResult::kDamaged;
}

std::string highestGlibcVersion(const std::vector<std::string>& versions) {
  std::string highest;
  std::vector<unsigned long> highestNumbers;
  for (const std::string& version : versions) {
    std::vector<unsigned long> numbers = glibcVersionNumbers(version);
    if (!numbers.empty() && numbers > highestNumbers) {
      highest = version;
      highestNumbers = numbers;
    }
  }
  return highest;
}
