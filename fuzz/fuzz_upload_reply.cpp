// The upload reply: any status and body give an icon ID text or one
// ServerError with the code and message the reply calls for.
//
// Input: "<status>\n<file name>\n<body>".

#include "api/IconUpload.h"
#include "core/ServerError.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initializeQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzzsupport::Input input = fuzzsupport::inputFrom(data, size, 1);
    const HttpReply &reply = input.reply;
    const QString &fileName = input.fields[0];
    try {
        iconIDFromUploadReply(reply, fileName);
        FUZZ_CHECK(reply.status == 200 || reply.status == 201, QString::number(reply.status.value_or(-1)));
    } catch (const ServerError &error) {
        if (!reply.status) {
            FUZZ_CHECK(error.code() == 201, error.message());
        } else if (*reply.status != 200 && *reply.status != 201) {
            FUZZ_CHECK(error.domain() == ErrorDomain::Upload && error.code() == *reply.status, error.message());
            FUZZ_CHECK(error.message()
                           == QStringLiteral("Failed to upload ") + fileName + QStringLiteral(". HTTP ")
                                  + QString::number(*reply.status) + QStringLiteral(". ") + bodyText(reply.body),
                       error.message());
        } else {
            FUZZ_CHECK((error.domain() == ErrorDomain::Upload && (error.code() == 202 || error.code() == 203))
                           || error.domain() == ErrorDomain::Json,
                       error.message());
        }
    }
    return 0;
}
