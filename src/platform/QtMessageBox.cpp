#include "platform/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include <future>
#include <memory>

#include "platform/MessageBox.h"

namespace pv::platform {

namespace {
QMessageBox* MakeBox(const std::string& text, const std::string& title, unsigned flags) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flags & 0xF0) {
    case kMbIconError: icon = QMessageBox::Critical; break;
    case kMbIconQuestion: icon = QMessageBox::Question; break;
    case kMbIconWarning: icon = QMessageBox::Warning; break;
    case kMbIconInformation: icon = QMessageBox::Information; break;
    default: break;
    }
    const bool question = (flags & 0x0F) == kMbYesNo;
    auto* box = new QMessageBox(icon, QString::fromStdString(title), QString::fromStdString(text),
                                question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    if (question) box->setDefaultButton(QMessageBox::No);
    return box;
}

int Answer(int button, bool question) {
    if (!question) return kIdOk;
    return button == QMessageBox::Yes ? kIdYes : kIdNo;
}

int ShowQtBox(const std::string& text, const std::string& title, unsigned flags) {
    const bool question = (flags & 0x0F) == kMbYesNo;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return question ? kIdNo : kIdOk;
    if (QThread::currentThread() == app->thread()) {
        std::unique_ptr<QMessageBox> box(MakeBox(text, title, flags));
        return Answer(box->exec(), question);
    }
    // From a service thread: the box lives on the GUI thread. A notice does not hold the thread
    // up; a question blocks only the thread that asked, until the operator answers.
    auto answer = std::make_shared<std::promise<int>>();
    std::future<int> result = answer->get_future();
    QMetaObject::invokeMethod(app, [text, title, flags, question, answer] {
        QMessageBox* box = MakeBox(text, title, flags);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        auto given = std::make_shared<bool>(false);
        QObject::connect(box, &QMessageBox::finished, box, [answer, given, question](int button) {
            if (!*given) answer->set_value(Answer(button, question));
            *given = true;
        });
        // Destroyed unanswered (the program ends): the cautious answer.
        QObject::connect(box, &QObject::destroyed, [answer, given, question] {
            if (!*given) answer->set_value(question ? kIdNo : kIdOk);
            *given = true;
        });
        box->show();
    }, Qt::QueuedConnection);
    if (!question) return kIdOk;
    return result.get();
}
}  // namespace

void InstallQtMessageBoxes() { SetMessageBoxHandler(ShowQtBox); }

}  // namespace pv::platform
