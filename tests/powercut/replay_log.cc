// A test tool for the power-cut suite: reads a log of dm-log-writes and
// replays its writes onto an image of the logged device.
//   replay_log LOG list            one line per entry: index, flags,
//                                  sectors written, mark
//   replay_log LOG apply IMAGE A B applies entries A to B-1 onto IMAGE
// The log is the kernel's: a super block in its first sector, then for each
// entry one sector of header (with a mark's text after it) followed by the
// entry's data, in sectors of the size that the super block gives.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::uint64_t kMagic = 0x6a736677736872;
const std::uint64_t kFlush = 1, kFua = 2, kDiscard = 4, kMark = 8;

struct Super {
  std::uint64_t magic, version, entries;
  std::uint32_t sector_size;
} __attribute__((packed));

struct Header {
  std::uint64_t sector, sectors, flags, data_length;
};

struct Entry {
  Header header;
  std::uint64_t data_offset;  // in the log
  std::string mark;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "replay_log: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void read_at(int fd, void* data, std::size_t length, std::uint64_t offset) {
  auto* bytes = static_cast<char*>(data);
  while (length > 0) {
    const ssize_t n = pread(fd, bytes, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("short read of the log");
    bytes += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
}

void write_at(int fd, const void* data, std::size_t length, std::uint64_t offset) {
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = pwrite(fd, bytes, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write to the image");
    bytes += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
}

std::vector<Entry> read_log(int fd, std::uint32_t& sector_size) {
  Super super;
  read_at(fd, &super, sizeof super, 0);
  if (super.magic != kMagic || super.version != 1) {
    errno = EINVAL;
    fail("not a log of dm-log-writes");
  }
  sector_size = super.sector_size;
  std::vector<Entry> entries;
  std::uint64_t offset = sector_size;
  std::vector<char> block(sector_size);
  for (std::uint64_t i = 0; i < super.entries; ++i) {
    read_at(fd, block.data(), sector_size, offset);
    Entry entry;
    std::memcpy(&entry.header, block.data(), sizeof entry.header);
    offset += sector_size;
    entry.data_offset = offset;
    if (entry.header.flags & kMark) {
      entry.mark.assign(block.data() + sizeof(Header), entry.header.data_length);
    } else if (!(entry.header.flags & kDiscard)) {
      offset += entry.header.sectors * sector_size;
    }
    entries.push_back(entry);
  }
  return entries;
}

std::string flags_of(std::uint64_t flags) {
  std::string text;
  if (flags & kFlush) text += "flush,";
  if (flags & kFua) text += "fua,";
  if (flags & kDiscard) text += "discard,";
  if (flags & kMark) text += "mark,";
  return text.empty() ? "write" : text.substr(0, text.size() - 1);
}

// A discard is taken as zeroing what it covers: the worst a device may do.
void apply(int log, int image, const Entry& entry, std::uint32_t sector_size) {
  if (entry.header.flags & kMark) return;
  std::vector<char> data(entry.header.sectors * sector_size);
  if (!(entry.header.flags & kDiscard)) read_at(log, data.data(), data.size(), entry.data_offset);
  write_at(image, data.data(), data.size(), entry.header.sector * sector_size);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: replay_log LOG list | LOG apply IMAGE FROM TO\n");
    return 2;
  }
  const int log = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (log < 0) fail(argv[1]);
  std::uint32_t sector_size = 0;
  const std::vector<Entry> entries = read_log(log, sector_size);
  const std::string command = argv[2];
  if (command == "list") {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Header& h = entries[i].header;
      std::printf("%zu %s %llu %s\n", i, flags_of(h.flags).c_str(),
                  static_cast<unsigned long long>(h.flags & kMark ? 0 : h.sectors),
                  entries[i].mark.c_str());
    }
    return 0;
  }
  if (command != "apply" || argc != 6) {
    std::fprintf(stderr, "usage: replay_log LOG list | LOG apply IMAGE FROM TO\n");
    return 2;
  }
  const int image = open(argv[3], O_WRONLY | O_CLOEXEC);
  if (image < 0) fail(argv[3]);
  const std::size_t from = std::strtoul(argv[4], nullptr, 10);
  const std::size_t to = std::strtoul(argv[5], nullptr, 10);
  for (std::size_t i = from; i < to && i < entries.size(); ++i) {
    apply(log, image, entries[i], sector_size);
  }
  if (fsync(image) != 0 || close(image) != 0) fail(argv[3]);
  return 0;
}
