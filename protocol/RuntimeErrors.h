// The runtime's error kinds that the updater raises itself: conversion errors
// of the request encoder and input/output errors of the file layer. Every
// exception of the program derives from std::exception and carries the text
// that the standard error report shows (ShowException in app/Feedback.h).
#pragma once

#include <stdexcept>
#include <string>

// "'%s' is not a valid integer value"
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// "File not found", "File access denied", "Invalid filename", "I/O error %d"
class EInOutError : public std::runtime_error {
public:
    EInOutError(const std::string& message, int errorCode)
        : std::runtime_error(message), ErrorCode(errorCode) {}
    int ErrorCode;
};
