// The lookup reply: any status and body give an icon record with a URL or
// one ServerError with the code and message the reply calls for.
//
// Input: "<status>\n<requested ID>\n<body>".

#include "api/IconLookup.h"
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
    const QString &requestedID = input.fields[0];
    try {
        const IconLookupResult result = lookupResultFromReply(reply, requestedID);
        FUZZ_CHECK(reply.status == 200 && !result.url.isEmpty(), result.url);
    } catch (const ServerError &error) {
        if (!reply.status) {
            FUZZ_CHECK(error.code() == 301, error.message());
        } else if (*reply.status != 200) {
            FUZZ_CHECK(error.domain() == ErrorDomain::IconLookup && error.code() == *reply.status, error.message());
            FUZZ_CHECK(error.message()
                           == QStringLiteral("Failed to look up icon ID ") + requestedID + QStringLiteral(". HTTP ")
                                  + QString::number(*reply.status) + QStringLiteral(". ") + bodyText(reply.body),
                       error.message());
        } else {
            FUZZ_CHECK((error.domain() == ErrorDomain::IconLookup && (error.code() == 302 || error.code() == 303))
                           || error.domain() == ErrorDomain::Json,
                       error.message());
        }
    }
    return 0;
}
