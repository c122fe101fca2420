// The main window: picture, title, menu with hints, status line, and the
// confirmed end of the program by the menu or by closing the window.
#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPixmap>
#include <QShowEvent>
#include <QStatusBar>

#include "app/about_window.h"
#include "app/application.h"
#include "app/filter_window.h"
#include "app/hint.h"
#include "app/maintenance_window.h"
#include "app/message_box.h"
#include "app/resources.h"
#include "app/search_window.h"
#include "app/shell.h"
#include "app/update_handoff.h"
#include "app/window_setup.h"
#include "dataset/data_link.h"
#include "dataset/tdb_database.h"
#include "dataset/tdb_table.h"

namespace zenkalo {

namespace {

const QString kCaption = QStringLiteral("Zenkalo V2.0.0.0");
const QString kExitHint = QStringLiteral("Program használatának befejezése !");
const QString kExitCaption = QStringLiteral("Program vége:");
const QString kHelpDocument = QStringLiteral("Leírás.pdf");
const QString kHelpMissing = QStringLiteral(
    "Leírás.pdf állomány nem található vagy nincs telepítve Acrobat olvasó program !!!");
const QString kExitQuestion = QStringLiteral("Biztosan be kívánja fejezni a program használatát ?");

template <typename Owner>
QMenu* addSubmenu(Owner& owner, const char* name, const QString& caption, const QString& hint) {
    QMenu* menu = owner.addMenu(caption);
    menu->setToolTipsVisible(true);
    QAction* action = menu->menuAction();
    action->setObjectName(QLatin1String(name));
    applyHint(*action, hint);
    return menu;
}

QAction* addItem(QMenu& menu, const char* name, const QString& caption, const QString& hint) {
    QAction* action = menu.addAction(caption);
    action->setObjectName(QLatin1String(name));
    applyHint(*action, hint);
    return action;
}

void showModally(QDialog* window) {
    if (window != nullptr) {
        window->exec();
    }
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    ensureResources();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kCaption);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);

    createComponents();
    buildClientArea();
    buildMenu();

    // The window takes exactly the size of its parts; the menu bar comes on top
    // of the client area, as the user knows it from the platform's own windows.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    layout()->activate();
    centreOnScreen(*this);

    FormCreate();
}

TForm1::~TForm1() {
    // Releasing the table closes it; the database then disconnects as it is released.
    dataSource1_.reset();
    table1_.reset();
    tdbDatabase1_.reset();
}

void TForm1::createComponents() {
    components_ = std::make_unique<dataset::TComponent>(nullptr);
    components_->SetName(u"Form1");

    tdbDatabase1_ = std::make_unique<dataset::TTdbDatabase>(components_.get());
    tdbDatabase1_->SetName(u"TdbDatabase1");
    tdbDatabase1_->SetDatabaseName(u"TdbDatabase1");
    tdbDatabase1_->SetExclusive(false);
    tdbDatabase1_->SetReadOnly(false);
    tdbDatabase1_->SetDatabaseType(dataset::dbtDirectory);
    tdbDatabase1_->SetFlushMode(dataset::tfmDefault);
    tdbDatabase1_->SetIndexPageSize(4096);
    tdbDatabase1_->SetBlobBlockSize(512);

    table1_ = std::make_unique<dataset::TTdbTable>(components_.get());
    table1_->SetName(u"Table1");
    table1_->SetDatabaseName(u"TdbDatabase1");
    table1_->SetTableName(u"Irsz");
    table1_->SetIndexName(u"TELEP");

    table1_->BeforeDelete = [this](dataset::TDataSet&) { Table1BeforeDelete(); };

    dataSource1_ = std::make_unique<dataset::TDataSource>();
    dataSource1_->SetDataSet(table1_.get());
}

void TForm1::attachWindows(TForm2* form2, TForm5* form5, TForm6* form6, TForm7* form7) {
    form2_ = form2;
    form5_ = form5;
    form6_ = form6;
    form7_ = form7;
}

void TForm1::FormCreate() {
    // The table files are looked for where the program was started from, not
    // beside the executable, so a shortcut's working directory decides.
    databaseLocation_ = QDir::currentPath();
    tdbDatabase1_->SetLocation(databaseLocation_.toStdU16String());
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::FormShow() {
    // A failure goes to the program's default error display; the window stays, with the table
    // closed.
    showingFailures([this] { table1_->SetActive(true); });
}

void TForm1::buildClientArea() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(kClientSize.width(), kClientSize.height() - kStatusLineHeight);
    client->setAutoFillBackground(true);
    QPalette silver = client->palette();
    silver.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
    client->setPalette(silver);
    setCentralWidget(client);

    auto* picture = new QLabel(client);
    picture->setObjectName(QStringLiteral("Image1"));
    picture->setGeometry(8, 8, 521, 298);
    picture->setScaledContents(true);
    picture->setPixmap(QPixmap(QStringLiteral(":/images/main_picture.jpg")));

    // Created after the picture so that it lies on top of it; a label paints no
    // background of its own, so the picture shows through around the letters.
    auto* title = new QLabel(kCaption, client);
    title->setObjectName(QStringLiteral("Label1"));
    title->setGeometry(307, 280, 217, 19);
    QFont titleFont(QStringLiteral("Balthazar"));
    titleFont.setPixelSize(16);
    titleFont.setBold(true);
    title->setFont(titleFont);
    QPalette yellow = title->palette();
    yellow.setColor(QPalette::WindowText, Qt::yellow);
    title->setPalette(yellow);

    QStatusBar* status = statusBar();
    status->setObjectName(QStringLiteral("StatusBar1"));
    status->setSizeGripEnabled(false);
    status->setFixedHeight(kStatusLineHeight);
}

void TForm1::buildMenu() {
    QMenuBar& bar = *menuBar();
    bar.setObjectName(QStringLiteral("MainMenu1"));

    QMenu* operations = addSubmenu(bar, "Mveletek1", QStringLiteral("Műveletek"),
                                   QStringLiteral("Program eljárásai !"));
    connect(addItem(*operations, "Adatkarbantarts1", QStringLiteral("Adatkarbantartás"),
                    QStringLiteral("Adatok karbantartása !")),
            &QAction::triggered, this, &TForm1::Adatkarbantarts1Click);
    operations->addSeparator();
    connect(addItem(*operations, "Keress1", QStringLiteral("Keresés"),
                    QStringLiteral("Adatok keresése !")),
            &QAction::triggered, this, &TForm1::Keress1Click);
    operations->addSeparator();
    connect(addItem(*operations, "Szrs1", QStringLiteral("Szűrés"),
                    QStringLiteral("Megjelenítendő adatok szűrése !")),
            &QAction::triggered, this, &TForm1::Szrs1Click);

    QMenu* information = addSubmenu(bar, "Informci1", QStringLiteral("Információ"),
                                    QStringLiteral("Programmal kapcsolatos információk !"));
    connect(addItem(*information, "Lers1", QStringLiteral("Leírás"),
                    QStringLiteral("Program használatának leírása !")),
            &QAction::triggered, this, &TForm1::Lers1Click);
    information->addSeparator();
    QMenu* update =
        addSubmenu(*information, "Frissts1", QStringLiteral("Frissítés"),
                   QStringLiteral("Frissítés keresése (internet kapcsolat szükséges) !"));
    connect(addItem(*update, "Keress3", QStringLiteral("Keresés"),
                    QStringLiteral("Újabb verzió keresése, letöltése és telepítése !")),
            &QAction::triggered, this, &TForm1::Keress3Click);
    information->addSeparator();
    connect(addItem(*information, "Nvjegy1", QStringLiteral("Névjegy"),
                    QStringLiteral("Program bemutatkozása !")),
            &QAction::triggered, this, &TForm1::Nvjegy1Click);

    QMenu* quit = addSubmenu(bar, "Keress2", QStringLiteral("Kilépés"), kExitHint);
    connect(addItem(*quit, "Befejezs1", QStringLiteral("Befejezés"), kExitHint),
            &QAction::triggered, this, &TForm1::Befejezs1Click);
}

void TForm1::Adatkarbantarts1Click() {
    showModally(form2_);
}

void TForm1::Keress1Click() {
    showModally(form5_);
}

void TForm1::Szrs1Click() {
    showModally(form6_);
}

void TForm1::Nvjegy1Click() {
    showModally(form7_);
}

void TForm1::Lers1Click() {
    const QString document = QDir::current().filePath(kHelpDocument);
    if (!QFileInfo::exists(document) || !shell().openUrl(QUrl::fromLocalFile(document)))
        showError(this, QStringLiteral("Hiba történt:"), kHelpMissing);
}

void TForm1::Keress3Click() {
    // A file that cannot be written stops the hand-off there, and the program goes on.
    showingFailures([this] {
        writeUpdateInfo(QDir::current().filePath(kUpdateInfoFile), UUE_);
        shell().startProgram(QDir::current().filePath(kUpdaterProgram), {kUpdateInfoFile});
        // The updater replaces the program's files: the program makes way without asking.
        QCoreApplication::exit(0);
    });
}

void TForm1::Table1BeforeDelete() {
    // "Nem" stops the delete without a further word.
    if (!askYesNo(this, QStringLiteral("Törlés jóváhagyás:"),
                  QStringLiteral("Biztosan törölhető ?")))
        dataset::Abort();
}

bool TForm1::confirmExit() {
    return askYesNo(this, kExitCaption, kExitQuestion);
}

void TForm1::Befejezs1Click() {
    statusBar()->showMessage(kExitHint);
    if (confirmExit()) {
        // exit(), not quit(): quit() would first offer every window a close
        // event, and this window's close handler would ask the user again.
        QCoreApplication::exit(0);
    }
    statusBar()->clearMessage();
}

void TForm1::closeEvent(QCloseEvent* event) {
    statusBar()->showMessage(kExitHint);
    if (!confirmExit()) {
        event->ignore();
        return;
    }
    statusBar()->clearMessage();
    table1_->SetActive(false);
    event->accept();
}

}  // namespace zenkalo
