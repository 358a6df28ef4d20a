#pragma once

#include <QLabel>
#include <QList>
#include <QPlainTextEdit>
#include <QString>
#include <QTimer>

/**
 * The window's status line: plain text (never HTML), wrapped at word
 * boundaries and, where a word is wider than the line, anywhere in it.
 * Read-only but selectable, so that a server's explanation can be copied.
 *
 * A status may be megabytes long (a failed reply's whole body). The view
 * stays quick however long it is: the text goes into the document in blocks
 * of a bounded size, a slice at a time (the first at once, the rest in later
 * turns of the event loop), and the document lays out only the blocks it
 * shows. The window sizes the view with heightFor(), up to a cap; beyond it
 * the view scrolls.
 */
class StatusView : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit StatusView(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const { return m_text; }

    /**
     * The height that shows the whole text at the given width, or
     * maxHeight when the text needs more; lays out no more than that.
     */
    int heightFor(int width, int maxHeight) const;

protected:
    /** Copies and drags the selected part of the text exactly as it was set. */
    QMimeData *createMimeDataFromSelection() const override;

private:
    /** Adds blocks of the text not yet in the document, about budget characters of them. */
    void appendBlocks(qsizetype budget);
    /** The position in the text that a position in the document shows. */
    qsizetype textPosition(int documentPosition) const;

    QString m_text;
    QList<qsizetype> m_blockStarts; // where each block of the document begins in m_text
    qsizetype m_next = -1; // where the next block to add begins in m_text; -1 once all are in
    QTimer m_loader; // adds the next slice
};

/**
 * The icon beside the status line that marks how a run ended. Screen
 * readers see it as a notification named with the ending's text, and its
 * appearing as one: they speak it wherever the focus is.
 */
class StatusMark : public QLabel
{
    Q_OBJECT

public:
    explicit StatusMark(QWidget *parent = nullptr);

    /** Shows icon at side pixels and announces text, unless it shows text already. */
    void mark(const QIcon &icon, int side, const QString &text);
};
