#include "dialogs.h"

#include <QFileDialog>

namespace dialogs {

namespace {

std::function<QMessageBox::StandardButton(const Message &)> &messageHandler()
{
    static std::function<QMessageBox::StandardButton(const Message &)> handler;
    return handler;
}

std::function<QString(const FileRequest &)> &fileHandler()
{
    static std::function<QString(const FileRequest &)> handler;
    return handler;
}

QMessageBox::StandardButton make(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text,
                                 QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    return show(Message{icon, parent, title, text, buttons, defaultButton});
}

} // namespace

QMessageBox::StandardButton show(const Message &m)
{
    if (messageHandler())
        return messageHandler()(m);
    QMessageBox box(m.icon, m.title, m.text, m.buttons, m.parent);
    box.setDefaultButton(m.defaultButton);
    const int result = box.exec();
    // A box closed without a button counts as its escape button, as the
    // static QMessageBox functions report it.
    return box.clickedButton() ? box.standardButton(box.clickedButton())
                               : QMessageBox::StandardButton(result);
}

QMessageBox::StandardButton information(QWidget *parent, const QString &title, const QString &text,
                                        QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    return make(QMessageBox::Information, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton warning(QWidget *parent, const QString &title, const QString &text,
                                    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    return make(QMessageBox::Warning, parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton critical(QWidget *parent, const QString &title, const QString &text,
                                     QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton)
{
    return make(QMessageBox::Critical, parent, title, text, buttons, defaultButton);
}

QString getOpenFileName(QWidget *parent, const QString &caption, const QString &directory, const QString &filter)
{
    if (fileHandler())
        return fileHandler()(FileRequest{parent, caption, directory, filter});
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

void setMessageHandler(std::function<QMessageBox::StandardButton(const Message &)> handler)
{
    messageHandler() = std::move(handler);
}

void setFileHandler(std::function<QString(const FileRequest &)> handler)
{
    fileHandler() = std::move(handler);
}

} // namespace dialogs
