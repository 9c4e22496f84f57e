#include "protocol/SettingsRecord.h"

#include <algorithm>

#include "protocol/Encoder.h"
#include "protocol/RuntimeErrors.h"

namespace {

// The runtime's error number for a read past the end of a file.
constexpr int ErrorReadBeyondEnd = 100;

[[noreturn]] void RaiseReadBeyondEnd()
{
    throw EInOutError("Read beyond end of file", ErrorReadBeyondEnd);
}

template <std::size_t FieldCount>
std::array<Byte, 1 + FieldCount> RecordBytes(Byte kind, const std::array<Byte, FieldCount>& fields)
{
    std::array<Byte, 1 + FieldCount> record{kind};
    std::copy(fields.begin(), fields.end(), record.begin() + 1);
    return record;
}

} // namespace

TSettingsRecord::TSettingsRecord(Byte kind, const std::array<Byte, MaxFieldCount>& fields,
                                 std::size_t fieldCount)
    : kind_(kind), fields_(fields), fieldCount_(std::min(fieldCount, MaxFieldCount))
{
}

Byte TSettingsRecord::Field(std::size_t index) const
{
    if (index >= fieldCount_)
        RaiseReadBeyondEnd();
    return fields_[index];
}

TSettingsRecord ParseSettingsRecord(std::span<const Byte> content)
{
    if (content.empty())
        RaiseReadBeyondEnd();
    const auto fieldBytes = content.subspan(1, std::min(content.size() - 1, MaxFieldCount));
    std::array<Byte, MaxFieldCount> fields{};
    std::copy(fieldBytes.begin(), fieldBytes.end(), fields.begin());
    return TSettingsRecord(content[0], fields, fieldBytes.size());
}

std::array<Byte, 1 + SerialFieldCount> SerialRecordBytes(const std::array<Byte, SerialFieldCount>& positions)
{
    return RecordBytes(SerialRecordKind, positions);
}

std::array<Byte, 1 + NetworkFieldCount> NetworkRecordBytes(const std::array<Byte, NetworkFieldCount>& address)
{
    return RecordBytes(NetworkRecordKind, address);
}

std::array<Byte, NetworkFieldCount> AddressRecordBytes(const std::string& address)
{
    std::array<std::string, NetworkFieldCount> AddressOctets;
    std::string rest = address;
    for (std::size_t k = 0; k + 1 < NetworkFieldCount; ++k) {
        const std::size_t dot = rest.find('.');
        AddressOctets[k] = rest.substr(0, dot);
        rest = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
    }
    AddressOctets.back() = rest;

    std::array<Byte, NetworkFieldCount> record{};
    for (std::size_t k = 0; k < NetworkFieldCount; ++k)
        record[k] = static_cast<Byte>(DecimalArgument(AddressOctets[k]));
    return record;
}
