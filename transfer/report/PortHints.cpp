#include "transfer/report/PortHints.h"

#include "serial/CPort.h"
#include "transfer/report/PortHints_p.h"

QString PortHint(std::int32_t code, std::int32_t osError)
{
    switch (code) {
    case ecOpen:
        return OpenHint(osError);
    case ecWrite:
    case ecRead:
        return LineHint(osError);
    default:
        return {};
    }
}

QString PortHint(const EComPort& error)
{
    return PortHint(error.Code, error.OsError);
}
