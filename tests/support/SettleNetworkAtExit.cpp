// Linked into every test executable (see velk_add_test): before the
// application object goes, lets Qt's HTTP client finish what it still has
// in hand.
//
// Qt ends an aborted or timed-out exchange, and closes cached keep-alive
// and TLS connections, on its own HTTP thread a moment after the reply has
// reported. A test program whose last test function ends right then tears
// the client down in the middle of that, and LeakSanitizer reports Qt's
// half-freed objects (about one run in seven of a test that ends on a
// time-out). Clearing the caches and running events for a moment first
// makes the sanitized run's leak report about our code alone.

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QTest>

namespace {

void settleNetwork()
{
    const QList<QNetworkAccessManager *> managers =
        QCoreApplication::instance()->findChildren<QNetworkAccessManager *>(Qt::FindDirectChildrenOnly);
    if (managers.isEmpty())
        return;
    for (QNetworkAccessManager *manager : managers) {
        manager->clearConnectionCache();
        manager->clearAccessCache();
    }
    QTest::qWait(200);
}

void registerSettle()
{
    qAddPostRoutine(settleNetwork);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(registerSettle)
