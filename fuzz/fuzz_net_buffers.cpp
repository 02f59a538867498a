// Peer bytes through the receive buffer (in reads of varying size, with line extraction and partial
// consumption) and through the checked byte reader.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "buffer_reader.h"
#include "byte_reader.h"
#include "socket_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    mnet::SocketUtil::SetNonBlock(fds[0]);
    // The writing end must not block either: while the reader is full, many tiny writes fill the socket
    // pair's buffer by their per-write overhead, and a blocking write would hang the run.
    mnet::SocketUtil::SetNonBlock(fds[1]);
    mnet::BufferReader reader(64, 1024);
    std::string out;
    size_t pos = 0;
    while (pos < size) {
        size_t chunk = 1 + data[pos] % 97;
        if (chunk > size - pos) chunk = size - pos;
        if (::send(fds[1], data + pos, chunk, MSG_NOSIGNAL) <= 0) break;
        uint8_t op = data[pos];
        pos += chunk;
        while (reader.Read(fds[0]) > 0) {
        }
        switch (op % 4) {
        case 0: reader.ReadUntilCrlf(out); break;
        case 1: reader.Retrieve(op); break;
        case 2: if (reader.FindLastCrlf() != nullptr && reader.ReadableBytes() < 2) __builtin_trap(); break;
        default: if (reader.IsFull()) reader.ReadAll(out); break;
        }
        if (reader.ReadableBytes() > reader.MaxUnreadBytes()) __builtin_trap();
    }
    ::close(fds[0]);
    ::close(fds[1]);

    mnet::ByteReader bytes(data, size);
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    char skip[16];
    while (bytes.ReadUint8(&u8)) {
        switch (u8 % 6) {
        case 0: bytes.ReadUint16BE(&u16); break;
        case 1: bytes.ReadUint24BE(&u32); break;
        case 2: bytes.ReadUint32LE(&u32); break;
        case 3: bytes.ReadBytes(skip, u8 % sizeof(skip)); break;
        case 4: bytes.Skip(u8); break;
        default: bytes.ReadUint32BE(&u32); break;
        }
    }
    return 0;
}
