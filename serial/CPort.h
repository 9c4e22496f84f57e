// The serial port driver on POSIX termios.
#pragma once
