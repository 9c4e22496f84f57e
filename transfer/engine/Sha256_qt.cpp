#include "transfer/engine/Sha256.h"

#include <QByteArray>
#include <QCryptographicHash>

struct TSha256::Context {
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

TSha256::TSha256() : context_(std::make_unique<Context>())
{
}

TSha256::~TSha256() = default;

void TSha256::Add(const unsigned char* bytes, std::size_t count)
{
    context_->hash.addData(QByteArrayView(bytes, static_cast<qsizetype>(count)));
}

std::string TSha256::Hex() const
{
    // Qt digests a copy of its state: more can still be added.
    return context_->hash.result().toHex().toStdString();
}
