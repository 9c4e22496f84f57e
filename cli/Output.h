// What orvenda-update writes to its standard output and error while boards
// are updated. A thread of its own writes it, in the order it was handed over:
// a terminal or a pipe that does not take what it is given (a paused pager, a
// terminal under XOFF, a reader that sleeps) never holds up the boards, whose
// events only hand their text over. A stream that cannot be written to (a
// closed pipe) takes nothing more; the update goes on.
#pragma once

#include <string>

namespace Output {

// Hands `text` over for the stream `fd` (StandardOutput or StandardError).
void Write(int fd, std::string text);
// Whether text handed over still waits for its stream to take it.
bool Pending();
// Waits until every stream has taken what it was handed, or cannot take it:
// the program ends only then.
void Drain();

} // namespace Output
