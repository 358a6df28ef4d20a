#pragma once

#include <QObject>

#include <atomic>
#include <exception>

/**
 * A request to stop an upload run at its next safe point. The run makes
 * one for itself and hands it to whoever drives it: the window's Stop
 * button, the command line's Ctrl+C and the termination signals all end a
 * run through it. Once requested it stays requested.
 *
 * Lives on the UI thread; isRequested() may be read from any thread.
 */
class StopRequest : public QObject
{
    Q_OBJECT

public:
    explicit StopRequest(QObject *parent = nullptr);
    ~StopRequest() override;

    bool isRequested() const { return m_requested.load(std::memory_order_relaxed); }

    /** Asks for the stop; requested() is emitted on the first call only. */
    void request();

    /** Requests every stop request that exists: a termination signal stops every run. */
    static void requestAll();

signals:
    void requested();

private:
    std::atomic<bool> m_requested = false;
};

/** Thrown by an operation that a stop request ended before its result came. */
class Stopped : public std::exception
{
public:
    const char *what() const noexcept override { return "stopped"; }
};
