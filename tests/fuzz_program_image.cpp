// libFuzzer's entry: any bytes, judged as an ELF file and as a PE file. The
// checks must never crash, hang, read outside the bytes given or ask for
// more than programHeadBytes in one piece, whatever the headers claim.

#include "program_image.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string file(reinterpret_cast<const char*>(data), size);
    const ReadBytes read = [&file](std::uint64_t offset, std::size_t length) {
        if (length > programHeadBytes) {
            std::abort();
        }
        return offset < file.size() ? file.substr(static_cast<std::size_t>(offset), length) : std::string();
    };
    // An x86-64 header as this program's own; then the file's own first
    // bytes as a machine, so that every input gets past the machine check.
    static const std::string x86_64("\x7f" "ELF\2\1\1\0\0\0\0\0\0\0\0\0\2\0\x3e\0", 20);
    ElfProgramKind(read, file.size(), {x86_64});
    ElfProgramKind(read, file.size(), {x86_64, file.substr(0, 20)});
    PeProgramKind(read, file.size(), {0x14c, 0x8664, 0xaa64});
    return 0;
}
