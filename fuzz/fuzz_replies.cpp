// The three reply handlers on any reply: a result, or one ServerError; a
// failed status carries the status as its code and the body as text at the
// end of its message.
//
// Input: "T", "U" or "L" (token, upload, lookup), the status in decimal
// (anything else stands for a reply that is not HTTP), a line feed, the
// file name or requested icon ID, a line feed, then the body.

#include "api/BearerToken.h"
#include "api/IconUpload.h"
#include "core/ServerError.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    initializeQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> parts = input.mid(1).split('\n');
    if (input.isEmpty() || parts.size() < 3)
        return 0;
    HttpReply reply;
    bool isNumber = false;
    if (const int status = parts[0].toInt(&isNumber); isNumber)
        reply.status = status;
    const QString argument = QString::fromUtf8(parts[1]);
    reply.body = input.mid(1 + parts[0].size() + 1 + parts[1].size() + 1);
    const char exchange = input[0];
    const bool failedStatus = reply.status && *reply.status != 200 && !(exchange == 'U' && *reply.status == 201);
    try {
        if (exchange == 'T')
            FUZZ_CHECK(!tokenFromReply(reply).isEmpty(), QString());
        else if (exchange == 'U')
            iconIDFromUploadReply(reply, argument);
        else
            FUZZ_CHECK(!lookupResultFromReply(reply, argument).url.isEmpty(), QString());
        FUZZ_CHECK(reply.status && !failedStatus, QString::number(reply.status.value_or(-1)));
    } catch (const ServerError &error) {
        if (failedStatus) {
            FUZZ_CHECK(error.code() == *reply.status, error.message());
            FUZZ_CHECK(error.message().endsWith(QStringLiteral(". HTTP %1. ").arg(*reply.status) + bodyText(reply.body)),
                       error.message());
        }
    }
    return 0;
}
