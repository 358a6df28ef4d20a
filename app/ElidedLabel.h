#pragma once

#include <QLabel>

/**
 * A one-line plain-text label that shows its full text when it fits and
 * otherwise keeps the beginning and the end and drops the middle. The full
 * text is also the tooltip and the accessible name, so nothing is lost to
 * mouse or screen-reader users. Takes whatever width its layout gives it.
 */
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    void setFullText(const QString &text);
    QString fullText() const { return m_fullText; }

    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void updateShownText();

    QString m_fullText;
};
