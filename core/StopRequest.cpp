#include "core/StopRequest.h"

#include <QList>

namespace {

/** Every stop request alive; touched on the UI thread only. */
QList<StopRequest *> &allRequests()
{
    static QList<StopRequest *> requests;
    return requests;
}

} // namespace

StopRequest::StopRequest(QObject *parent)
    : QObject(parent)
{
    allRequests().append(this);
}

StopRequest::~StopRequest()
{
    allRequests().removeOne(this);
}

void StopRequest::request()
{
    if (m_requested.exchange(true))
        return;
    emit requested();
}

void StopRequest::requestAll()
{
    // A copy: a slot may end its run and with it its request.
    const QList<StopRequest *> requests = allRequests();
    for (StopRequest *request : requests) {
        if (allRequests().contains(request))
            request->request();
    }
}
