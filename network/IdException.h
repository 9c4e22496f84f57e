// The errors of the socket layer. Every failure of the UDP endpoint is one of
// these; what() is the text the standard error report shows, word for word.
//
//   EIdException
//   ├── EIdSocketError              any failing socket call or host lookup
//   ├── EIdInvalidSocket            no socket could be created
//   ├── EIdSocketHandleError
//   │   ├── EIdPackageSizeTooBig    send refused as too long
//   │   └── EIdNotAllBytesSent      fewer bytes sent than given
//   ├── EIdUDPException
//   │   └── EIdUDPReceiveErrorZeroBytes
//   ├── EIdSilentException
//   │   └── EIdConnClosedGracefully wait on a socket that is not there
//   ├── EIdStackError
//   │   ├── EIdStackInitializationFailed
//   │   └── EIdStackSetSizeExceeded
//   ├── EIdStackCanNotLoadWinsock
//   ├── EIdInvalidServiceName
//   └── EIdMoreThanOneTIdAntiFreeze
//
// Only Winsock has a start-up that can fail (EIdStackInitializationFailed);
// the library is linked, not loaded by name, so EIdStackCanNotLoadWinsock is
// never raised, nor are the service and anti-freeze errors of parts of the
// socket layer the updater has none of, but callers may name them in their
// handlers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class EIdException : public std::runtime_error {
public:
    explicit EIdException(const std::string& message) : std::runtime_error(message) {}
};

// A failing socket call. The message is "Socket Error # %d\r\n%s"; the stack
// builds it (TIdStack::RaiseSocketError).
class EIdSocketError : public EIdException {
public:
    EIdSocketError(std::int32_t errorNumber, const std::string& message)
        : EIdException(message), ErrorNumber(errorNumber) {}
    std::int32_t ErrorNumber;
};

class EIdInvalidSocket : public EIdException {
public:
    EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdPackageSizeTooBig : public EIdSocketHandleError {
public:
    EIdPackageSizeTooBig() : EIdSocketHandleError("Package Size Too Big.") {}
};

class EIdNotAllBytesSent : public EIdSocketHandleError {
public:
    EIdNotAllBytesSent() : EIdSocketHandleError("Not all bytes sent.") {}
};

class EIdUDPException : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdUDPReceiveErrorZeroBytes : public EIdUDPException {
public:
    EIdUDPReceiveErrorZeroBytes() : EIdUDPException("UDP Receive Error = 0.") {}
};

class EIdSilentException : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdConnClosedGracefully : public EIdSilentException {
public:
    EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdStackInitializationFailed : public EIdStackError {
public:
    EIdStackInitializationFailed() : EIdStackError("Winsock Initialization Error.") {}
};

class EIdStackSetSizeExceeded : public EIdStackError {
public:
    EIdStackSetSizeExceeded() : EIdStackError("Set Size Exceeded.") {}
};

class EIdStackCanNotLoadWinsock : public EIdException {
public:
    explicit EIdStackCanNotLoadWinsock(const std::string& libraryName)
        : EIdException(libraryName + " could not be loaded.") {}
};

class EIdInvalidServiceName : public EIdException {
public:
    explicit EIdInvalidServiceName(const std::string& serviceName)
        : EIdException(serviceName + " is not a valid service.") {}
};

class EIdMoreThanOneTIdAntiFreeze : public EIdException {
public:
    EIdMoreThanOneTIdAntiFreeze() : EIdException("Only one TIdAntiFreeze can exist per application.") {}
};
