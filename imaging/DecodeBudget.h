#pragma once

#include <QSize>
#include <QtGlobal>

#include <condition_variable>
#include <mutex>

namespace imaging {

/**
 * The memory that conversions in flight share. Each conversion claims what
 * it will hold (the file's bytes, the decoded picture, the decoder's and
 * the resampler's working memory, the encoder's) before it decodes, and
 * gives it back as it lets go of it, so that conversions on several worker
 * threads together stay within what one conversion alone may hold.
 *
 * Claims are granted in the order they were made: a claim that does not fit
 * in what is free waits, and so do all claims made after it, so that a
 * large picture is not starved by a stream of small ones; once the
 * conversions ahead of it have given back enough, it runs, alone if need
 * be. A claim larger than the whole budget takes the whole budget and so
 * runs alone; refusing what no conversion may hold is up to the caller.
 *
 * A grant never waits once held, and giving back never waits, so threads
 * that each hold at most one grant cannot deadlock, however many of them
 * wait. A thread must not make a second claim while it holds a grant.
 * Thread-safe.
 */
class DecodeBudget
{
public:
    /** Bytes held under one claim, given back when destroyed, moved-from or released. */
    class Grant
    {
    public:
        Grant() = default;
        Grant(Grant &&other) noexcept;
        Grant &operator=(Grant &&other) noexcept;
        Grant(const Grant &) = delete;
        Grant &operator=(const Grant &) = delete;
        ~Grant();

        qint64 bytes() const { return m_bytes; }
        /** Gives back all but bytes of the grant (nothing when it holds no more). */
        void shrinkTo(qint64 bytes);
        void release() { shrinkTo(0); }

    private:
        friend class DecodeBudget;
        Grant(DecodeBudget *budget, qint64 bytes)
            : m_budget(budget), m_bytes(bytes)
        {
        }
        DecodeBudget *m_budget = nullptr;
        qint64 m_bytes = 0;
    };

    explicit DecodeBudget(qint64 totalBytes);
    DecodeBudget(const DecodeBudget &) = delete;
    DecodeBudget &operator=(const DecodeBudget &) = delete;

    /** The budget every conversion of the process draws from: kMaxDecodeBytes. */
    static DecodeBudget &shared();

    /**
     * Waits until bytes (at most the whole budget) are free and every
     * earlier claim has been granted, then grants them.
     */
    Grant claim(qint64 bytes);

    qint64 totalBytes() const { return m_total; }
    qint64 bytesInUse() const;
    /** The most ever granted at once. */
    qint64 peakBytesInUse() const;
    /** Claims made and not yet granted. */
    int waitingClaims() const;

private:
    void giveBack(qint64 bytes);

    const qint64 m_total;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_inUse = 0;
    qint64 m_peak = 0;
    quint64 m_nextTicket = 0; // handed to the next claim
    quint64 m_serving = 0;    // the ticket whose claim is granted next
};

/**
 * Claims from the shared budget all that one conversion holds at its peak:
 * the file's bytes, decodeBytes for decoding, and the working memory of the
 * resampler for a picture decoded at decodedSize (an invalid size stands
 * for any) and drawn into a drawnSide square, and of the encoder. Waits as
 * DecodeBudget::claim() does.
 */
DecodeBudget::Grant claimConversion(qint64 fileBytes, qint64 decodeBytes, const QSize &decodedSize, int drawnSide);

} // namespace imaging
