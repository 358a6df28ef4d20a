#include "imaging/DecodeBudget.h"

#include "imaging/ImageLoad.h"
#include "imaging/PngEncoder.h"
#include "imaging/Resample.h"

#include <algorithm>
#include <utility>

namespace imaging {

DecodeBudget::Grant::Grant(Grant &&other) noexcept
    : m_budget(std::exchange(other.m_budget, nullptr)), m_bytes(std::exchange(other.m_bytes, 0))
{
}

DecodeBudget::Grant &DecodeBudget::Grant::operator=(Grant &&other) noexcept
{
    if (this != &other) {
        release();
        m_budget = std::exchange(other.m_budget, nullptr);
        m_bytes = std::exchange(other.m_bytes, 0);
    }
    return *this;
}

DecodeBudget::Grant::~Grant()
{
    release();
}

void DecodeBudget::Grant::shrinkTo(qint64 bytes)
{
    bytes = std::max<qint64>(bytes, 0);
    if (!m_budget || bytes >= m_bytes)
        return;
    m_budget->giveBack(m_bytes - bytes);
    m_bytes = bytes;
}

DecodeBudget::DecodeBudget(qint64 totalBytes)
    : m_total(totalBytes)
{
}

DecodeBudget &DecodeBudget::shared()
{
    static DecodeBudget budget(kMaxDecodeBytes);
    return budget;
}

DecodeBudget::Grant DecodeBudget::claim(qint64 bytes)
{
    bytes = std::clamp<qint64>(bytes, 0, m_total);
    std::unique_lock lock(m_mutex);
    const quint64 ticket = m_nextTicket++;
    m_changed.wait(lock, [&] { return m_serving == ticket && m_inUse + bytes <= m_total; });
    ++m_serving;
    m_inUse += bytes;
    m_peak = std::max(m_peak, m_inUse);
    lock.unlock();
    // The next claim in line may fit in what is left.
    m_changed.notify_all();
    return Grant(this, bytes);
}

qint64 DecodeBudget::bytesInUse() const
{
    const std::lock_guard lock(m_mutex);
    return m_inUse;
}

qint64 DecodeBudget::peakBytesInUse() const
{
    const std::lock_guard lock(m_mutex);
    return m_peak;
}

int DecodeBudget::waitingClaims() const
{
    const std::lock_guard lock(m_mutex);
    return int(m_nextTicket - m_serving);
}

void DecodeBudget::giveBack(qint64 bytes)
{
    {
        const std::lock_guard lock(m_mutex);
        m_inUse -= bytes;
    }
    m_changed.notify_all();
}

DecodeBudget::Grant claimConversion(qint64 fileBytes, qint64 decodeBytes, const QSize &decodedSize, int drawnSide)
{
    const qint64 resampling = decodedSize.isValid() ? renderFittedWorkingBytes(decodedSize, drawnSide)
                                                    : DecodeBudget::shared().totalBytes();
    return DecodeBudget::shared().claim(fileBytes + decodeBytes + resampling + encodePngWorkingBytes(QSize(drawnSide, drawnSide)));
}

} // namespace imaging
