// The request encoders on arbitrary texts: the token form body, the upload
// file name, the multipart body and the server URL rule keep their
// invariants whatever the user typed or the file is called.
//
// Input: a mode byte (bit 0: the texts are UTF-16 code units, lone
// surrogates and all, rather than UTF-8), a split byte, then the text,
// split into client ID and secret; the whole text is also the file path
// and the server URL, its second half the PNG bytes.

#include "api/BearerToken.h"
#include "api/IconUpload.h"
#include "api/ServerUrl.h"
#include "fuzz/FuzzSupport.h"

#include <QUuid>

namespace {

bool isFormByte(char c)
{
    static const QByteArray kept = QByteArrayLiteral("-._~!$'()*,;=:@/?");
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || kept.contains(c);
}

bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void checkFormValue(const QByteArray &pair, const QByteArray &name, const QString &value)
{
    FUZZ_CHECK(pair.startsWith(name + '='), QString::fromLatin1(pair));
    const QByteArray encoded = pair.mid(name.size() + 1);
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            FUZZ_CHECK(i + 2 < encoded.size() && isUpperHex(encoded[i + 1]) && isUpperHex(encoded[i + 2]),
                       QString::fromLatin1(encoded));
            i += 2;
        } else {
            FUZZ_CHECK(isFormByte(encoded[i]), QString::fromLatin1(encoded));
        }
    }
    FUZZ_CHECK(QByteArray::fromPercentEncoding(encoded) == value.toUtf8(), value);
}

void checkTokenBody(const QString &clientID, const QString &clientSecret)
{
    const QByteArray body = tokenRequestBody(clientID, clientSecret);
    const QList<QByteArray> pairs = body.split('&');
    FUZZ_CHECK(pairs.size() == 3, QString::fromLatin1(body));
    checkFormValue(pairs[0], "client_id", clientID);
    checkFormValue(pairs[1], "client_secret", clientSecret);
    FUZZ_CHECK(pairs[2] == "grant_type=client_credentials", QString::fromLatin1(body));
}

void checkMultipart(const QString &filePath, const QByteArray &png)
{
    const QString name = uploadFileName(filePath);
    FUZZ_CHECK(name.endsWith(QLatin1String(".png")) && !name.contains(u'/'), name);

    const QByteArray boundary = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    const QByteArray body = multipartBody(boundary, name, png);
    const QByteArray utf8 = name.toUtf8();
    const qsizetype escaped = utf8.count('"') + utf8.count('\r') + utf8.count('\n');
    FUZZ_CHECK(body.size() == 169 + utf8.size() + 2 * escaped + png.size(), QString::number(body.size()));

    const QByteArray head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"";
    const QByteArray partEnd = "\"\r\nContent-Type: image/png\r\n\r\n" + png + "\r\n--" + boundary + "--\r\n";
    FUZZ_CHECK(body.startsWith(head) && body.endsWith(partEnd), name);
    const QByteArray value = body.mid(head.size(), body.size() - head.size() - partEnd.size());
    FUZZ_CHECK(!value.contains('"') && !value.contains('\r') && !value.contains('\n'), name);
}

void checkServerUrl(const QString &serverUrl, const QString &iconID)
{
    const QString normalized = normalizedServerUrl(serverUrl);
    FUZZ_CHECK(!normalized.startsWith(u'/') && !normalized.endsWith(u'/') && serverUrl.contains(normalized), serverUrl);
    if (const std::optional<QUrl> url = endpointUrl(serverUrl, QStringLiteral("/api/v1/icon/") + iconID))
        FUZZ_CHECK(url->isValid(), serverUrl);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initializeQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const bool utf16 = data[0] & 1;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    const QString text = utf16 ? QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2)
                               : QString::fromUtf8(bytes);
    const qsizetype split = text.isEmpty() ? 0 : data[1] % (text.size() + 1);

    checkTokenBody(text.left(split), text.mid(split));
    checkMultipart(text, bytes.mid(bytes.size() / 2));
    checkServerUrl(text, text.mid(split));
    return 0;
}
