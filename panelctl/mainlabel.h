#pragma once

#include <QLabel>

// The preview: shows what was last sent to the screen.
class MainLabel : public QLabel {
    Q_OBJECT

public:
    explicit MainLabel(QWidget *parent = nullptr);
};
