// What the Qt toolkit's tests share: one QApplication for the whole program (made in main, on
// the offscreen platform that CTest selects), and a dialog answerer that finds the modal
// message box, notes what it shows and presses one of its buttons.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace quiver::qttest {

struct SeenDialog {
    std::string caption;
    std::string text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::vector<std::string> buttons;  // in the order they were added
    std::string pressed;               // empty: left open
};

// Polls for the active modal message box from the loop it runs in (a timer of the window
// thread). `choose` gets what the box shows and returns the text of the button to press, or an
// empty text to leave the box open for now (it is asked again on the next poll).
class DialogAnswerer {
  public:
    using Chooser = std::function<std::string(const SeenDialog&)>;

    explicit DialogAnswerer(Chooser choose) : choose_(std::move(choose)) {
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Poll(); });
        timer_.start(2);
    }
    // Presses the box's default button: OK, or &Yes.
    DialogAnswerer() : DialogAnswerer([](const SeenDialog& d) { return d.buttons.front(); }) {}

    const std::vector<SeenDialog>& Seen() const { return seen_; }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const SeenDialog& d : seen_) {
            out.push_back(d.text);
        }
        return out;
    }

  private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        SeenDialog d;
        d.caption = box->windowTitle().toStdString();
        d.text = box->text().toStdString();
        d.icon = box->icon();
        for (QAbstractButton* b : box->buttons()) {
            d.buttons.push_back(b->text().toStdString());
        }
        const std::string answer = choose_(d);
        if (answer.empty()) {
            return;
        }
        for (QAbstractButton* b : box->buttons()) {
            if (b->text().toStdString() == answer) {
                d.pressed = answer;
                seen_.push_back(d);
                b->click();
                return;
            }
        }
        // No such button: note the box and close it without an answer.
        seen_.push_back(d);
        box->reject();
    }

    Chooser choose_;
    QTimer timer_;
    std::vector<SeenDialog> seen_;
};

}  // namespace quiver::qttest
