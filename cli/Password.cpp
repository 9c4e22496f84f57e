#include "cli/Password.h"

#include "cli/Password_p.h"

#include <cstdio>

#include "protocol/RuntimeErrors.h"
#include "transfer/engine/FileOfBytes.h"

namespace {

// The line without its line end ("\n" or "\r\n").
std::string WithoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

// The first line of a regular file. Anything else (a pipe, a device, a folder)
// is refused at once: opening never waits for a writer, and nothing is read
// from a source that may never end.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error)
{
    std::string head(PasswordFileReadLimit, '\0');
    try {
        TFileOfBytes file(path);
        head.resize(file.Read(reinterpret_cast<unsigned char*>(head.data()), head.size()));
    } catch (const EInOutError& failure) {
        error = "cannot read the password file " + path + ": " + failure.what();
        return std::nullopt;
    }
    return WithoutLineEnd(head.substr(0, head.find('\n')));
}

std::optional<std::string> ReadTypedPassword(std::string& error)
{
    std::fputs("BIOS password: ", stderr);
    std::fflush(stderr);
    std::string line;
    if (!ReadUnechoedLine(line)) {
        error = "no BIOS password was given";
        return std::nullopt;
    }
    return WithoutLineEnd(line);
}

} // namespace

std::optional<std::string> ReadPassword(const std::optional<std::string>& file, std::string& error)
{
    return file ? ReadPasswordFile(*file, error) : ReadTypedPassword(error);
}
