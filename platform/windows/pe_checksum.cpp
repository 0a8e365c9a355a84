// Sets or verifies the checksum in the optional header of a PE image. The
// kernel refuses to load a driver whose checksum does not match its file, and
// lld-link leaves the field zero, so the build stamps it after linking and the
// image test verifies it.
//
//   zelkor-pe-checksum FILE            write the checksum into FILE
//   zelkor-pe-checksum --verify FILE   exit 1 unless the stored checksum is right
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::uint32_t ReadU32(const std::vector<unsigned char>& image, std::size_t offset)
{
    return static_cast<std::uint32_t>(image[offset]) | static_cast<std::uint32_t>(image[offset + 1]) << 8 |
           static_cast<std::uint32_t>(image[offset + 2]) << 16 | static_cast<std::uint32_t>(image[offset + 3]) << 24;
}

void WriteU32(std::vector<unsigned char>& image, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

// The field's offset, or 0 when the file is not a PE image.
std::size_t ChecksumOffset(const std::vector<unsigned char>& image)
{
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z')
        return 0;
    std::size_t pe = ReadU32(image, 0x3C);
    // Signature (4), file header (20), then the optional header, whose
    // CheckSum sits at offset 64 in both the 32- and the 64-bit layout.
    std::size_t offset = pe + 4 + 20 + 64;
    if (offset + 4 > image.size() || std::memcmp(&image[pe], "PE\0\0", 4) != 0)
        return 0;
    return offset;
}

// The image checksum: a 16-bit one's-complement-style sum of the file taken
// as little-endian words, with the checksum field itself counted as zero,
// plus the file length.
std::uint32_t ComputeChecksum(const std::vector<unsigned char>& image, std::size_t fieldOffset)
{
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 2) {
        if (i >= fieldOffset && i < fieldOffset + 4)
            continue;
        std::uint32_t word = image[i];
        if (i + 1 < image.size())
            word |= static_cast<std::uint32_t>(image[i + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

}  // namespace

int main(int argc, char** argv)
{
    bool verify = argc == 3 && std::strcmp(argv[1], "--verify") == 0;
    if (argc != 2 && !verify) {
        std::fprintf(stderr, "usage: %s [--verify] IMAGE\n", argv[0]);
        return 2;
    }
    const char* path = argv[argc - 1];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read\n", path);
        return 2;
    }
    std::vector<unsigned char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::size_t offset = ChecksumOffset(image);
    if (offset == 0) {
        std::fprintf(stderr, "%s: not a PE image\n", path);
        return 2;
    }
    std::uint32_t checksum = ComputeChecksum(image, offset);

    if (verify) {
        std::uint32_t stored = ReadU32(image, offset);
        if (stored != checksum) {
            std::fprintf(stderr, "%s: checksum 0x%08X, expected 0x%08X\n", path, stored, checksum);
            return 1;
        }
        std::printf("%s: checksum 0x%08X\n", path, checksum);
        return 0;
    }
    WriteU32(image, offset, checksum);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", path);
        return 2;
    }
    return 0;
}
