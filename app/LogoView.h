#pragma once

#include <QIcon>
#include <QWidget>

/**
 * The window's header picture: the application icon drawn at a fixed height
 * with its aspect ratio kept. It paints from the icon's set of PNG sizes at
 * the screen's device pixel ratio, so it stays sharp on high-density screens.
 */
class LogoView : public QWidget
{
    Q_OBJECT

public:
    LogoView(const QIcon &icon, int height, QWidget *parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QIcon m_icon;
    QSize m_size;
};
