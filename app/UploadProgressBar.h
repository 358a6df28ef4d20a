#pragma once

#include <QProgressBar>

/**
 * The progress of a run: busy (range 0 to 0) until the files are counted,
 * then "3 of 12 icons uploaded". Screen readers read that text as the
 * bar's value and description; Qt's own accessible progress bar gives them
 * the bare number.
 */
class UploadProgressBar : public QProgressBar
{
    Q_OBJECT

public:
    explicit UploadProgressBar(QWidget *parent = nullptr);
};
