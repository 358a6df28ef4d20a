// The token reply: any status and body give a token or one ServerError
// with the code and message the reply calls for.
//
// Input: "<status>\n<body>"; a first line that is not a number stands for
// a reply that is not HTTP.

#include "api/BearerToken.h"
#include "core/ServerError.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initializeQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const HttpReply reply = fuzzsupport::inputFrom(data, size, 0).reply;
    try {
        const QString token = tokenFromReply(reply);
        FUZZ_CHECK(reply.status == 200 && !token.isEmpty(), token);
    } catch (const ServerError &error) {
        if (!reply.status) {
            FUZZ_CHECK(error.code() == 101, error.message());
        } else if (*reply.status != 200) {
            FUZZ_CHECK(error.domain() == ErrorDomain::Auth && error.code() == *reply.status, error.message());
            FUZZ_CHECK(error.message()
                           == QStringLiteral("Failed to get bearer token. HTTP %1. ").arg(*reply.status) + bodyText(reply.body),
                       error.message());
        } else {
            FUZZ_CHECK((error.domain() == ErrorDomain::Auth && error.code() == 102) || error.domain() == ErrorDomain::Json,
                       error.message());
        }
    }
    return 0;
}
