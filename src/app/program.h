// The program's start and end: style, title, the windows in their fixed order,
// the message loop, and releasing the windows once the loop is over.
#pragma once

#include <QString>
#include <memory>
#include <vector>

class QApplication;
class QTextStream;
class QWidget;

namespace zenkalo {

class TForm1;
class TForm2;
class TForm5;
class TForm6;
class TForm7;
class TForm8;

inline const QString kVisualStyleName = QStringLiteral("Iceberg Classico");
inline const QString kApplicationTitle = QStringLiteral("Zenkalo");

// Maps the font names the windows ask for to fonts a Debian machine has.
void installFontSubstitutions();

// Applies the named visual style from the program's resources to every window.
// When there is no style of that name the user is told and the default look
// stays; the result says whether the style was applied.
bool applyVisualStyle(QApplication& app, const QString& name);

class Program {
public:
    // Prepares everything up to the message loop; every window is created hidden.
    explicit Program(QApplication& app, const QString& styleName = kVisualStyleName);
    ~Program();

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Shows the main window and runs the message loop; returns its exit code.
    int run();
    // Shows the main window, ends the loop with 0 once the window with its table has been
    // painted the first time, and writes to Report how long the process took to get there:
    // "startup-time: N ms" (from the kernel's start of the process, libraries loaded included).
    int runToFirstScreen(QTextStream& report);

    TForm1& form1() const { return *form1_; }
    TForm2& form2() const { return *form2_; }
    TForm5& form5() const { return *form5_; }
    TForm6& form6() const { return *form6_; }
    TForm7& form7() const { return *form7_; }
    TForm8& form8() const { return *form8_; }

    // The windows in the order they were created, the main window first.
    const std::vector<QWidget*>& windows() const { return windows_; }

private:
    template <typename Window, typename... Args>
    std::unique_ptr<Window> create(Args&... args);

    QApplication& app_;
    std::vector<QWidget*> windows_;
    // Released in the reverse order: the main window, which the others work
    // through, goes last.
    std::unique_ptr<TForm1> form1_;
    std::unique_ptr<TForm2> form2_;
    std::unique_ptr<TForm5> form5_;
    std::unique_ptr<TForm6> form6_;
    std::unique_ptr<TForm7> form7_;
    std::unique_ptr<TForm8> form8_;
};

}  // namespace zenkalo
