#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include "logoinput.h"

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
    // A file that passed every check, with where its logo area starts.
    struct Chosen {
        QByteArray image;
        quint32 logoPosition = 0;
        QString path;
    };

    // Asks for a file and checks it as `input`; nothing (after a message,
    // unless the dialog was cancelled) when it is refused.
    std::optional<Chosen> choose(fwimage::LogoInput input);
    // Reads a chosen file; nothing (after a message) when it cannot.
    std::optional<QByteArray> readChosen(const QString &path);
    void report(const fwimage::LogoVerdict &verdict, const QString &path);
    void report(const QString &text);

    std::unique_ptr<Ui::MainWindow> m_ui;
    // Only files that passed every check are kept: a refused choice leaves
    // the previous one and its caption in place.
    Chosen m_custom;
    Chosen m_official;
};
