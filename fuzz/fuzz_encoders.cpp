// The request encoders on any text the user may type or a file may be
// called: the form body decodes back to the credentials and holds only
// bytes a form value may carry, and no file name can end the multipart
// filename parameter or put a control character in the part's header.
//
// Input: a split byte, then UTF-8 text: before the split the client ID,
// after it the secret; the whole text is also the file path.

#include "api/BearerToken.h"
#include "api/IconUpload.h"
#include "fuzz/FuzzSupport.h"

#include <algorithm>

namespace {

void checkFormValue(const QByteArray &pair, const QByteArray &name, const QString &value)
{
    static const QByteArray kept = "-._~!$'()*,;=:@/?%";
    const QByteArray encoded = pair.mid(name.size() + 1);
    FUZZ_CHECK(pair.startsWith(name + '=') && QByteArray::fromPercentEncoding(encoded) == value.toUtf8(), value);
    for (const char c : encoded)
        FUZZ_CHECK((uchar(c) < 128 && QChar::isLetterOrNumber(uchar(c))) || kept.contains(c), QString::fromLatin1(encoded));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    initializeQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype split = data[0] % (text.size() + 1);
    const QList<QByteArray> pairs = tokenRequestBody(text.left(split), text.mid(split)).split('&');
    FUZZ_CHECK(pairs.size() == 3 && pairs[2] == "grant_type=client_credentials", text);
    checkFormValue(pairs[0], "client_id", text.left(split));
    checkFormValue(pairs[1], "client_secret", text.mid(split));

    const QString name = uploadFileName(text);
    const QByteArray body = multipartBody("B", name, "png");
    const QByteArray head = "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"";
    const QByteArray tail = "\"\r\nContent-Type: image/png\r\n\r\npng\r\n--B--\r\n";
    FUZZ_CHECK(name.endsWith(QLatin1String(".png")) && body.startsWith(head) && body.endsWith(tail), name);
    const QByteArray value = body.mid(head.size(), body.size() - head.size() - tail.size());
    FUZZ_CHECK(std::none_of(value.begin(), value.end(), [](char c) { return c == '"' || uchar(c) < 0x20 || c == 0x7F; }), name);
    return 0;
}
