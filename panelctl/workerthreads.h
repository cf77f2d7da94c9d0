#pragma once

#include <QNetworkAccessManager>
#include <QString>
#include <QThread>

// The window's worker threads that get their jobs with their features; until
// then starting one does nothing.

class UpgradeThread : public QThread {
    Q_OBJECT

public:
    explicit UpgradeThread(QObject *parent = nullptr) : QThread(parent) {}
    QString firmwarePath;

signals:
    void progress(int percent);

protected:
    void run() override {}
};

class TelvMonitorThread : public QThread {
    Q_OBJECT

public:
    explicit TelvMonitorThread(QObject *parent = nullptr) : QThread(parent) {}

protected:
    void run() override {}
};
