#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

// Every message box and file dialog of the programs goes through here, so
// that tests can answer them without a person at the screen.
namespace dialogs {

struct Message {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget *parent = nullptr;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

struct FileRequest {
    QWidget *parent = nullptr;
    QString caption;
    QString directory;
    QString filter;
};

// Modal boxes as QMessageBox's static functions show them.
QMessageBox::StandardButton information(QWidget *parent, const QString &title, const QString &text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QMessageBox::StandardButton warning(QWidget *parent, const QString &title, const QString &text,
                                    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QMessageBox::StandardButton critical(QWidget *parent, const QString &title, const QString &text,
                                     QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                     QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
QMessageBox::StandardButton show(const Message &message);

// The platform's open-file dialog; an empty name when cancelled.
QString getOpenFileName(QWidget *parent, const QString &caption, const QString &directory, const QString &filter);

// Test seams: while a handler is set it answers instead of a dialog. Set
// them on the GUI thread; an empty function restores the real dialogs.
void setMessageHandler(std::function<QMessageBox::StandardButton(const Message &)> handler);
void setFileHandler(std::function<QString(const FileRequest &)> handler);

} // namespace dialogs
