// A test driver preloaded into the real quiver for its end-to-end run: it plays the user. It
// answers every message box with its first button (&Yes, OK), presses Update once the idle
// window shows an enabled Update button, and writes what it saw to standard output, one line
// each:
//   window "<caption>"
//   list <index> "<item>"            (every item, when the idle window first shows)
//   label <name> "<text>"            (lblUpdateMsg, lblOldFW, lblTo, lblNewFW, then)
//   click cmdUpdate
//   dialog "<caption>" "<text>" [<button>,...] list "<current item>"
// Line feeds in texts are written as \n. It starts from the QCoreApplication constructor and
// polls on a timer of the window thread, so it sees modal dialogs from inside their loops.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

namespace {

void Log(const QString& line) {
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

QString Quoted(QString text) {
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QWidget* MainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->findChild<QComboBox*>(QStringLiteral("cboDrives")) != nullptr) {
            return w;
        }
    }
    return nullptr;
}

QString CurrentItem() {
    QWidget* main = MainWindow();
    auto* list =
        main != nullptr ? main->findChild<QComboBox*>(QStringLiteral("cboDrives")) : nullptr;
    return list != nullptr ? Quoted(list->currentText()) : QStringLiteral("-");
}

void Poll() {
    static bool pressed = false;
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        if (!box->isVisible() || box->buttons().isEmpty()) {
            return;
        }
        QStringList buttons;
        for (QAbstractButton* b : box->buttons()) {
            buttons << b->text();
        }
        Log(QStringLiteral("dialog %1 %2 [%3] list %4")
                .arg(Quoted(box->windowTitle()), Quoted(box->text()),
                     buttons.join(QLatin1Char(',')), CurrentItem()));
        box->buttons().front()->click();
        return;
    }
    QWidget* main = MainWindow();
    if (pressed || main == nullptr || !main->isVisible()) {
        return;
    }
    auto* update = main->findChild<QPushButton*>(QStringLiteral("cmdUpdate"));
    auto* list = main->findChild<QComboBox*>(QStringLiteral("cboDrives"));
    if (update == nullptr || list == nullptr || !update->isEnabled()) {
        return;
    }
    pressed = true;
    Log(QStringLiteral("window %1").arg(Quoted(main->windowTitle())));
    for (int i = 0; i < list->count(); ++i) {
        Log(QStringLiteral("list %1 %2").arg(i).arg(Quoted(list->itemText(i))));
    }
    for (const char* name : {"lblUpdateMsg", "lblOldFW", "lblTo", "lblNewFW"}) {
        if (auto* label = main->findChild<QLabel*>(QLatin1String(name))) {
            Log(QStringLiteral("label %1 %2").arg(QLatin1String(name), Quoted(label->text())));
        }
    }
    Log(QStringLiteral("click cmdUpdate"));
    update->click();
}

void StartDriving() {
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, timer, &Poll);
    timer->start(5);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriving)
