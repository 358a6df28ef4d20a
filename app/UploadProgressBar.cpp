#include "app/UploadProgressBar.h"

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

namespace {

class AccessibleUploadProgress : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit AccessibleUploadProgress(QWidget *bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar)
    {
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text type) const override
    {
        // AT-SPI has no text for a value: its clients read the description.
        return type == QAccessible::Value || type == QAccessible::Description ? bar()->text() : QAccessibleWidget::text(type);
    }

    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(const QVariant &) override {} // shown, not set
    QVariant maximumValue() const override { return bar()->maximum(); }
    QVariant minimumValue() const override { return bar()->minimum(); }
    QVariant minimumStepSize() const override { return 1; }

private:
    QProgressBar *bar() const { return static_cast<QProgressBar *>(widget()); }
};

QAccessibleInterface *accessibleUploadProgress(const QString &className, QObject *object)
{
    if (className == QLatin1String("UploadProgressBar") && object && object->isWidgetType())
        return new AccessibleUploadProgress(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

UploadProgressBar::UploadProgressBar(QWidget *parent)
    : QProgressBar(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleUploadProgress);
        return true;
    }();
    Q_UNUSED(installed)
    setAccessibleName(tr("Upload progress"));
    setFormat(tr("%v of %m icons uploaded"));
}
