// Bytes for the tests of answer reception, the settings file and the serial
// settings window: answer frames as the board sends them, and whole files.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/Encoder.h"

using Bytes = std::vector<Byte>;

// An answer frame: header, group, operation, then the result code and data.
inline Bytes AnswerFrame(Byte group, Byte operation, const Bytes& resultAndData)
{
    Bytes frame(FrameHeaderSize, 0);
    frame.push_back(group);
    frame.push_back(operation);
    frame.insert(frame.end(), resultAndData.begin(), resultAndData.end());
    CloseFrame(frame, static_cast<int>(frame.size()) - FrameHeaderSize);
    return frame;
}

inline void PutFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes FileContent(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
