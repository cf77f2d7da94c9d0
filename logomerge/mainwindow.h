#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include "fault.h"

#include <memory>
#include <optional>

namespace Ui {
class MainWindow;
}

// Merges the boot logo of a customised TELV firmware into the official
// firmware of the same screen type and writes the result to
// "TELV.output.bin" in the current directory.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

public slots:
    void onCustomize();
    void onOfficial();
    void onGenerate();

private:
    // Reads a chosen file; nothing (after a message) when it cannot.
    std::optional<QByteArray> readChosen(const QString &path);
    // The header and logo-area checks both choices share, up to the block
    // the merge takes from this image. Gives the logo position, or reports
    // the first check that fails.
    std::optional<quint32> checkImage(const QByteArray &image, const QString &path, std::size_t blocks);
    QString faultText(fwimage::Fault fault, const QString &path) const;
    void report(const QString &text);

    std::unique_ptr<Ui::MainWindow> m_ui;
    // Only images that passed every check are kept: a refused choice
    // leaves the previous one, its logo position and its caption in place.
    QByteArray m_customImage;
    QByteArray m_officialImage;
    quint32 m_customLogoPosition = 0;
    quint32 m_officialLogoPosition = 0;
    QString m_customPath;
    QString m_officialPath;
};
