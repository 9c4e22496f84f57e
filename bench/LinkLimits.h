// What the links themselves can do on this machine, measured without the
// updater: the limits its transfers are held against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bench/Placement.h"
#include "protocol/Encoder.h"

// The datagrams of one image block on the wire: the block write of 1024 bytes
// (frame header, group, operation, 16-bit count, data), the boot-error query
// and its answer (frame header, group, operation, result, boot error).
inline constexpr std::size_t CommandSize = 2;        // group and operation
inline constexpr std::size_t BlockCountSize = 2;
inline constexpr std::size_t BootErrorAnswerSize = 2; // result and boot error
inline constexpr std::size_t BlockFrameSize = FrameHeaderSize + CommandSize + BlockCountSize + ImageBlockSize;
inline constexpr std::size_t QueryFrameSize = FrameHeaderSize + CommandSize;
inline constexpr std::size_t AnswerFrameSize = FrameHeaderSize + CommandSize + BootErrorAnswerSize;

// Bytes per second of a plain loop of one-byte write() calls into one side of
// a raw pseudo-terminal pair, with a thread draining the other side, for
// `bytes` bytes. Throws std::runtime_error when the pair fails or stalls.
double PseudoTerminalOneByteRate(std::size_t bytes);

// Block cycles per second between two UDP sockets on loopback: a block
// datagram and a query datagram out from a thread on `cores.updater`, an
// answer datagram back from a thread on `cores.board` that answers each
// query, `cycles` times. Throws std::runtime_error when a socket fails, a
// thread cannot be pinned or an answer does not come.
double DatagramPingPongRate(std::size_t cycles, const Cores& cores);

// Block cycles per second of a plain sender against a board listening at
// `address`:`port`, with the updater's frames (SetBurnBlock, then image blocks
// of 1024 bytes, each followed by the boot-error query): how fast the board
// itself lets a stream go. Throws std::runtime_error as above.
double BoardPingPongRate(const std::string& address, std::uint16_t port, std::size_t cycles);
