#pragma once

#include <QNetworkAccessManager>
#include <QString>
#include <QThread>

// The window's worker threads. Each gets its job when its feature lands;
// until then starting one does nothing.

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

class TestThread : public QThread {
    Q_OBJECT

public:
    explicit TestThread(QObject *parent = nullptr) : QThread(parent) {}

protected:
    void run() override {}
};

class LEDTestThread : public QThread {
    Q_OBJECT

public:
    explicit LEDTestThread(QObject *parent = nullptr) : QThread(parent) {}

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
