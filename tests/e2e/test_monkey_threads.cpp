// A seeded monkey on the real main window: Connect (every kind of link), Open, Start and Stop with every mix of
// record boxes, Disconnect, Reconnect, Import, dropped configuration files and closing the window, with the
// simulated devices' faults in between. After every step it checks the acquisition's life; every record made
// is read back with the program's reader and with pandas, and compared with the blocks the thread emitted.
// KVN_MONKEY_SEED replays one seed, KVN_MONKEY_STEPS sets the steps per seed.

#include "ImportWidget.h"
#include "OpenDialog.h"
#include "WindowSession.h"

#include <QAction>
#include <QDirIterator>
#include <QFileDialog>
#include <QMimeData>
#include <QRandomGenerator>

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>

#if defined(__SANITIZE_THREAD__)
#define KVN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KVN_TSAN 1
#endif
#endif
#ifndef KVN_TSAN
#define KVN_TSAN 0
#endif

using e2e::Block;
using e2e::byText;

namespace {

// ThreadSanitizer runs everything several times slower: fewer steps and a slower fleet keep it in bounds.
const double kTimeScale = KVN_TSAN ? 2.0 : 4.0;
const int kSteps = KVN_TSAN ? 150 : 300;

// What the acquisition thread emits, seen on its own thread: every block, each start of the thread, and its
// reports. Indexes are absolute over the whole seed.
class Tap {
public:
    void attach(ReadBT* thread, QObject* context)
    {
        QObject::connect(thread, &QThread::started, context, [this] { std::lock_guard<std::mutex> l(m); starts.push_back(total()); }, Qt::DirectConnection);
        QObject::connect(thread, &QThread::finished, context, [this] { std::lock_guard<std::mutex> l(m); ends_.push_back(total()); }, Qt::DirectConnection);
        QObject::connect(thread, &ReadBT::resultReady, context,
                         [this](const std::vector<double>& d, int seq, short b, ushort f, qlonglong ts, qlonglong) {
                             std::lock_guard<std::mutex> l(m);
                             blocks.push_back({d, seq, b, f, ts, reports});
                         }, Qt::DirectConnection);
        for (auto sig : {&ReadBT::lostConnnection, &ReadBT::noData})
            QObject::connect(thread, sig, context, [this] { std::lock_guard<std::mutex> l(m); ++reports; }, Qt::DirectConnection);
        QObject::connect(thread, &ReadBT::signalEnd, context, [this] { std::lock_guard<std::mutex> l(m); ++ends; }, Qt::DirectConnection);
    }
    std::size_t size() { std::lock_guard<std::mutex> l(m); return total(); }
    int endCount() { std::lock_guard<std::mutex> l(m); return ends; }
    std::vector<std::size_t> startsAfter(std::size_t seen)
    {
        std::lock_guard<std::mutex> l(m);
        return {starts.begin() + long(std::min(seen, starts.size())), starts.end()};
    }
    std::size_t startCount() { std::lock_guard<std::mutex> l(m); return starts.size(); }
    // Blocks emitted when the thread's `ordinal`-th run ended; SIZE_MAX while it runs.
    std::size_t endOf(std::size_t ordinal)
    {
        std::lock_guard<std::mutex> l(m);
        return ordinal < ends_.size() ? ends_[ordinal] : SIZE_MAX;
    }
    std::vector<Block> slice(std::size_t from, std::size_t to)
    {
        std::lock_guard<std::mutex> l(m);
        from = std::max(from, dropped);
        to = std::min(to, total());
        return from < to ? std::vector<Block>(blocks.begin() + long(from - dropped), blocks.begin() + long(to - dropped))
                         : std::vector<Block>();
    }
    void forgetBefore(std::size_t index)
    {
        std::lock_guard<std::mutex> l(m);
        while (dropped < index && !blocks.empty()) {
            blocks.pop_front();
            ++dropped;
        }
    }

private:
    std::size_t total() const { return dropped + blocks.size(); }
    std::mutex m;
    std::deque<Block> blocks;
    std::size_t dropped = 0;
    std::vector<std::size_t> starts;
    std::vector<std::size_t> ends_;
    int reports = 0;
    int ends = 0;
};

struct Run {
    std::size_t start = 0;
    std::size_t ordinal = 0;       // which start of the thread began it
    std::size_t bound = SIZE_MAX;  // blocks emitted before its thread ended
    bool hd = false;
    QString hdBase;   // the folder chosen for it
    QString folder;   // the record it made
    QString source;   // the record it played back
    QString device;   // the name the group box showed at its start
    bool unseen = false;  // began and ended between two looks: boxes and source not known
    int accepted = 0; // blocks the window took while Stop was enabled (a lower bound of the record)
    int ends = 0;
};

const QStringList kBluetooth = {"KVN-A32-0412L", "KVN-A32-0412R", "KVN-B08-2201", "KVN-TRK-0031"};
// The 64-channel headset on COM10 sends more than a sanitized window keeps up with at the test's time scale.
const QStringList kUsb = {"COM3"};

class Monkey {
public:
    Monkey(quint32 seed, int steps) : seed(seed), steps(steps), rng(seed)
    {
        for (const char* sub : {"hd", "imports", "cwd", "cfg", "sd"}) QDir(root.path()).mkpath(sub);
        root.setAutoRemove(!qEnvironmentVariableIsSet("KVN_MONKEY_KEEP"));
        fprintf(stderr, "monkey seed %u in %s\n", seed, qPrintable(root.path()));
        hdRoot = root.filePath("hd");
        previousCwd = QDir::currentPath();
        QDir::setCurrent(root.filePath("cwd"));  // a record made without a chosen folder would land here
        e2e::resetSimulation(root.filePath("sd"), kTimeScale);
        sim::setSeed(seed);
        newWindow();
    }
    ~Monkey()
    {
        delete window;
        QDir::setCurrent(previousCwd);
        sim::reset();
    }

    void run()
    {
        // Weights in the three states the window can be in: no usable device, a device ready, acquiring.
        struct Action {
            const char* name;
            int weight[3];
            std::function<void()> run;
        };
        const std::vector<Action> table = {
            {"connect", {10, 6, 6}, [this] { connect(); }},  {"open", {5, 3, 4}, [this] { open(); }},
            {"start", {2, 20, 2}, [this] { start(); }},      {"stop", {1, 2, 8}, [this] { endingClick("Stop"); }},
            {"disconnect", {1, 4, 5}, [this] { disconnect(); }}, {"reconnect", {1, 1, 0}, [this] { reconnect(); }},
            {"import", {2, 2, 2}, [this] { import(); }},     {"drop", {5, 3, 4}, [this] { drop(); }},
            {"close", {1, 1, 2}, [this] { closeWindow(); }}, {"fault", {4, 6, 10}, [this] { fault(); }},
            {"clear faults", {3, 2, 2}, [] { sim::clearFaults(); }}, {"boxes", {1, 6, 1}, [this] { boxes(); }},
            {"tray", {1, 1, 1}, [this] { tray(); }},         {"wait", {6, 6, 14}, [this] { wait(); }},
        };
        while (step < steps) {
            ++step;
            // Each step draws from its own generator: a seed replays the same choices in the same states, whatever
            // the timing did to the dialogs of earlier steps.
            rng.seed(seed * 100003u + quint32(step));
            const int state = acquiring() ? 2 : button("Start")->isEnabled() ? 1 : 0;
            int total = 0;
            for (const Action& a : table) total += a.weight[state];
            int pick = int(rng.bounded(total));
            auto it = table.begin();
            while (pick >= it->weight[state]) pick -= (it++)->weight[state];
            action = it->name;
            detail.clear();
            fprintf(stderr, "monkey %u/%d %s\n", seed, step, action);
            it->run();
            if (!detail.isEmpty()) fprintf(stderr, "monkey   %s\n", qPrintable(detail));
            observe();
            QTest::qWait(int(rng.bounded(2, 20)));
            observe();
            checkInvariants();
            if (QTest::currentTestFailed()) return;
            // Closing the window ends the program's event loop; the next window needs a fresh one.
            if (quitting()) {
                QVERIFY2(quitExpected, qPrintable(where() + ": the program would quit; the window is " +
                                                  (window->isVisible() ? "shown" : "hidden")));
                quitExpected = false;
                return;
            }
        }
        finished = true;
    }

    // The last window closes (a user may keep it open by cancelling), then every record is read by pandas.
    void finish()
    {
        action = "end";
        for (int attempt = 0; attempt < 20 && window; ++attempt) closeWindow();
        if (window) {
            delete window;
            window = nullptr;
            observe();
        }
        if (QTest::currentTestFailed()) return;
        pandasCheck();
    }

    bool finished = false;

private:
    QString where() const { return QStringLiteral("seed %1 step %2 (%3 %4)").arg(seed).arg(step).arg(action, detail); }
    bool chance(int percent) { return int(rng.bounded(100)) < percent; }
    template <typename T>
    T pickOne(const QList<T>& list) { return list[int(rng.bounded(list.size()))]; }

    QPushButton* button(const QString& text) { return byText<QPushButton>(*window, text); }
    QPushButton* disconnectButton() { return button("Disconnect") ? button("Disconnect") : button("Close"); }
    ReadBT* thread() { return window->findChild<ReadBT*>("readThread"); }
    bool acquiring() { return button("Stop")->isEnabled(); }
    QString status() { return window->findChild<QLabel*>("deviceLabel")->text(); }

    void newWindow()
    {
        window = new MainWindow(nullptr);
        tap.attach(thread(), &context);
        startsSeen = tap.startCount();
        // Runs after the window's own slot for the same block: what it counts the window has taken. Stop ends
        // the acquisition before it disables Stop, and only a dialog's event loop can deliver blocks in between.
        QObject::connect(thread(), &ReadBT::resultReady, &context,
                         [this](const std::vector<double>&, int, short, ushort flags, qlonglong, qlonglong) {
                             if (current && flags != 7 && window && acquiring() && !QApplication::activeModalWidget())
                                 ++current->accepted;
                         }, Qt::QueuedConnection);
    }

    // ---- actions ----

    void connect()
    {
        const int kind = int(rng.bounded(10));
        wizardChoice = kind < 4 ? "Bluetooth" : kind < 6 ? "Usb" : kind < 8 ? "EEG 64" : kind < 9 ? "Last connection" : "";
        wizardDevice = wizardChoice == "Bluetooth" ? pickOne(kBluetooth) : wizardChoice == "Usb" ? pickOne(kUsb) : QString();
        swapPair = chance(20);
        detail = wizardChoice + " " + wizardDevice + (wizardChoice == "EEG 64" && swapPair ? " swapped" : "");
        endingClick("Connect");
    }

    void open()
    {
        openPath.clear();
        if (!openable.empty() && chance(85))
            openPath = pickOne(QList<QString>(openable.begin(), openable.end()));
        else if (chance(50))
            openPath = root.filePath("cfg");  // holds no record
        detail = openPath.isEmpty() ? "cancel" : openPath;
        endingClick("Open");
    }

    void start()
    {
        boxes();
        detail = QStringLiteral("hd %1 '%2' sd %3 lsl %4")
                     .arg(box("hdBox")->isChecked())
                     .arg(input("hdFolderInput")->text())
                     .arg(box("sdCardBox")->isChecked())
                     .arg(box("lslBox")->isChecked());
        button("Start")->click();
    }

    QCheckBox* box(const char* name) { return window->findChild<QCheckBox*>(name); }
    QLineEdit* input(const char* name) { return window->findChild<QLineEdit*>(name); }

    // What a user can change before Start: the three record boxes, the folder and the SD record name.
    void boxes()
    {
        if (input("hdFolderInput")->isEnabled() && chance(10)) input("hdFolderInput")->clear();
        if (box("hdBox")->isEnabled() && chance(40)) {
            folderDialogAccepts = chance(70);
            box("hdBox")->setChecked(!box("hdBox")->isChecked());
        }
        if (box("sdCardBox")->isEnabled() && chance(30)) box("sdCardBox")->setChecked(!box("sdCardBox")->isChecked());
        if (input("sdCardPathInput")->isEnabled() && chance(30))
            input("sdCardPathInput")->setText(chance(50) ? QString("r%1").arg(step) : QString("sub/r%1").arg(step));
        if (box("lslBox")->isEnabled() && chance(25)) box("lslBox")->setChecked(!box("lslBox")->isChecked());
    }

    void disconnect() { endingClick(disconnectButton()->text()); }

    void reconnect()
    {
        // The hidden button: only between acquisitions, since it disconnects the device under a running thread.
        if (acquiring()) return;
        button("Reconnect")->click();
    }

    void import()
    {
        importState = {};
        QStringList cards;
        for (const QString& d : kBluetooth + QStringList{"KVN-B08-3003", "KVN-H64-1010"}) {
            const QString card = QString::fromStdString(sim::sdCardFolder(d.toStdString()));
            if (QFileInfo::exists(card)) cards << card;
        }
        importState.card = cards.isEmpty() || chance(25) ? QString() : pickOne(cards);
        importState.output = root.filePath(QString("imports/%1").arg(step));
        detail = importState.card.isEmpty() ? "cancel" : importState.card;
        button("Import record")->click();
        if (importState.imported && QFile::exists(importState.output + "/signalsInfo.csv")) {
            known.insert(importState.output);
            checkReadable(importState.output);
            if (!QTest::currentTestFailed()) openable.insert(importState.output);
        }
    }

    void drop()
    {
        const int kind = int(rng.bounded(4));
        QString connection = kind == 0   ? QString(R"({"type": "usb", "properties": {"port": 3, "baudRate": 921600}})")
                             : kind == 1 ? QString(R"({"type": "ble", "properties": {"device": "%1"}})").arg(pickOne(kBluetooth))
                                         : QString(R"({"type": "bluetooth", "properties": {"device": "%1"}})").arg(pickOne(kBluetooth));
        QStringList keys{"\"connection\": " + connection};
        if (chance(60)) keys << QString("\"sensors\": \"%1\"").arg(chance(50) ? "dry" : "water");
        if (chance(50)) keys << QString("\"harddrive\": \"%1\"").arg(hdRoot);
        if (chance(30)) keys << QString("\"sdcard\": \"cfg/r%1\"").arg(step);
        if (chance(40)) keys << "\"lsl\": true";
        if (chance(20)) keys << "\"hide\": true";
        if (chance(60)) keys << "\"autostart\": true";
        const QString file = root.filePath(QString("cfg/%1.json").arg(step));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(("{" + keys.join(", ") + "}").toUtf8());
        f.close();
        detail = keys.join(", ");
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(file)});
        QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        window->dropEvent(&event);
    }

    void closeWindow()
    {
        if (!window->close()) {
            detail += " kept open";
            observe();
            return;
        }
        quitExpected = true;  // closing the window is the one way to end the program
        observe();
        delete window;
        window = nullptr;
        observe();
        if (action != std::string("end")) newWindow();
    }

    // Whether the application's event loop was told to end: a loop started now returns at once.
    static bool quitting()
    {
        QEventLoop probe;
        QTimer::singleShot(0, &probe, [&probe] { probe.exit(1); });
        return probe.exec() != 1;
    }

    void tray()
    {
        const bool visible = window->isVisible();
        for (QAction* a : window->findChildren<QAction*>())
            if (a->text() == (visible ? "Mi&nimize" : "Ma&ximize")) a->trigger();
        detail = visible ? "hide" : "show";
    }

    void fault()
    {
        const std::string device = pickOne(kBluetooth + QStringList{"KVN-B08-3003", "KVN-H64-1010"}).toStdString();
        sim::Faults f = sim::faults(device);
        switch (rng.bounded(7)) {
        case 0: f.dropAfterBlocks = rng.bounded(64); f.dropSeconds = 0.5 + rng.bounded(3.0); detail = "drop"; break;
        case 1: f.gapAfterBlocks = rng.bounded(64); f.gapSeconds = 1.5 + rng.bounded(2.0); detail = "gap"; break;
        case 2: f.stopAfterBlocks = rng.bounded(100); detail = "stops"; break;
        case 3: f.sdCardRefused = true; detail = "sd refused"; break;
        case 4: f.connectSeconds = 1.0 + rng.bounded(3.0); detail = "slow connect"; break;
        case 5: f.unreachable = true; detail = "unreachable"; break;
        default: f.errorFlagBlock = rng.bounded(64); f.errorFlags = quint16(1 + rng.bounded(8)); detail = "error flag"; break;
        }
        detail += " " + QString::fromStdString(device);
        sim::setFaults(device, f);
    }

    void wait()
    {
        // A short record played back is left to reach its end now and then: its end marker stops the acquisition.
        const bool playsShortRecord = current && !current->source.isEmpty() && expected.count(current->source) &&
                                      expected[current->source] <= 160;
        if (playsShortRecord && chance(60)) {
            detail = "for the end of " + current->source;
            QVERIFY2(QTest::qWaitFor([this] { return !acquiring(); }, 60000), qPrintable(where() + ": the record never ended"));
        } else {
            QTest::qWait(int(rng.bounded(30, 250)));
        }
    }

    // A click that may end the acquisition.
    void endingClick(const QString& text)
    {
        if (QPushButton* b = button(text)) b->click();
        observe();
    }

    // ---- the dialogs ----

    bool answer(QWidget* modal)
    {
        if (auto* wizard = qobject_cast<QWizard*>(modal)) {
            QRadioButton* choice = nullptr;
            for (auto* r : wizard->currentPage()->findChildren<QRadioButton*>())
                if (r->text().startsWith(wizardChoice) && !wizardChoice.isEmpty() && r->isEnabled()) choice = r;
            if (!choice) {
                wizard->reject();
                return true;
            }
            choice->setChecked(true);
            if (wizardChoice != "Last connection") {
                wizard->next();
                const auto combos = wizard->currentPage()->findChildren<QComboBox*>();
                if (wizardChoice == "EEG 64") {
                    combos[0]->setCurrentIndex(combos[0]->findText(swapPair ? "KVN-A32-0412R" : "KVN-A32-0412L"));
                    combos[1]->setCurrentIndex(combos[1]->findText(swapPair ? "KVN-A32-0412L" : "KVN-A32-0412R"));
                } else if (!combos.isEmpty()) {
                    combos[0]->setCurrentIndex(combos[0]->findText(wizardDevice));
                }
            }
            wizard->accept();
            return true;
        }
        if (auto* question = qobject_cast<QInputDialog*>(modal)) {
            const QStringList sensors{"Dry", "Water", "Textile", ""};
            const QString sensor = pickOne(sensors);
            if (sensor.isEmpty()) {
                question->close();
            } else {
                question->setTextValue(sensor);
                question->accept();
            }
            return true;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            fprintf(stderr, "monkey   box %s: %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            if (box->windowTitle() == "HD record error" && !input("hdFolderInput")->text().isEmpty())
                hdRefusals << where() + " folder " + input("hdFolderInput")->text();
            QMessageBox::StandardButton press = QMessageBox::Ok;
            if (box->windowTitle() == "Running adquisition") {
                const QList<QMessageBox::StandardButton> answers{QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel,
                                                                 QMessageBox::NoButton};
                press = pickOne(answers);
                detail += QString(" [%1]").arg(press == QMessageBox::Yes ? "yes" : press == QMessageBox::No ? "no" : press == QMessageBox::Cancel ? "cancel" : "closed");
            }
            // Closed by its title bar now and then, as a user may: the same as Cancel or Ok.
            if (press == QMessageBox::NoButton || (press == QMessageBox::Ok && chance(30)))
                box->close();
            else
                box->button(press)->click();
            return true;
        }
        if (auto* folder = qobject_cast<QFileDialog*>(modal)) {
            if (folderDialogAccepts) {
                folder->selectFile(hdRoot);
                static_cast<QDialog*>(folder)->accept();
            }
            if (folder->isVisible()) folder->reject();
            return true;
        }
        if (auto* dialog = qobject_cast<OpenDialog*>(modal)) {
            dialog->findChild<QLineEdit*>("pathInput")->setText(openPath);
            byText<QPushButton>(*dialog, openPath.isEmpty() ? "&Cancel" : "&Open")->click();
            return true;
        }
        if (auto* import = qobject_cast<ImportWidget*>(modal)) return answerImport(import);
        if (modal->windowTitle() == "Digital Aux input configuration") {
            for (auto* b : modal->findChildren<QPushButton*>())
                if (b->text() == "Ok") b->click();
            return true;
        }
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        return true;
    }

    bool answerImport(ImportWidget* import)
    {
        ++importState.polls;
        auto* picker = import->findChild<QWidget*>("singlePicker");
        if (!importState.card.isEmpty() && importState.polls == 1) {
            picker->findChild<QLineEdit*>("inputPath")->setText(importState.card);
            return false;
        }
        if (!importState.card.isEmpty() && !importState.imported && importState.polls < 1000) {
            if (!import->currentImporter()) return false;
            import->findChild<QLineEdit*>("outputInput")->setText(importState.output);
            QPushButton* go = byText<QPushButton>(*import, "&Import");
            if (!go->isEnabled()) return false;
            go->click();
            importState.imported = true;
            return false;
        }
        if (import->isImporting() && importState.polls < 6000) return false;
        import->reject();
        return true;
    }

    // ---- what the test watches ----

    // Notes a run that began (a new start of the thread) or ended (Stop disabled again) and the record
    // folder that Start made.
    void observe()
    {
        if (!window) {
            if (current) finish(*current);
            return;
        }
        // The thread reports its start from its own side, a moment after Start returned.
        if (!current && acquiring()) (void)QTest::qWaitFor([this] { return tap.startCount() > startsSeen; }, 10000);
        const std::vector<std::size_t> starts = tap.startsAfter(startsSeen);
        startsSeen += starts.size();
        if (current && (!acquiring() || !starts.empty())) finish(*current, starts.empty() ? SIZE_MAX : starts.front());
        // Runs that began and ended between two looks (an autostart inside a dialog's event loop): their records
        // are still compared with what the thread emitted, though their boxes were not seen.
        std::vector<Run> unseen;
        for (std::size_t k = 0; k < starts.size(); ++k) {
            Run r;
            r.start = starts[k];
            r.ordinal = startsSeen - starts.size() + k;
            r.ends = tap.endCount();
            if (k + 1 < starts.size() || !acquiring()) {
                r.unseen = true;
                r.bound = k + 1 < starts.size() ? starts[k + 1] : SIZE_MAX;
                unseen.push_back(r);
                continue;
            }
            r.hd = box("hdBox")->isChecked();
            r.hdBase = input("hdFolderInput")->text();
            // A played-back record is named by its folder, which the group box title shows before the version.
            const QString title = window->findChild<QGroupBox*>()->title();
            r.source = title.contains(" - HW0.0_FW1.0") ? QDir::cleanPath(title.left(title.indexOf(" - HW0.0_FW1.0"))) : QString();
            r.device = title.left(title.indexOf(" - HW"));
            current = r;
            fprintf(stderr, "monkey   run from block %zu, hd %d '%s'%s\n", r.start, r.hd, qPrintable(r.hdBase),
                    qPrintable(r.source.isEmpty() ? QString() : " playing " + r.source));
        }
        QStringList fresh = newRecords();
        fresh.sort();  // named by their start times
        if (current && current->hd && current->folder.isEmpty() && !fresh.isEmpty() && !starts.empty()) {
            const QString folder = current->folder = fresh.takeLast();
            known.insert(folder);
            if (current->hdBase.isEmpty())
                QFAIL(qPrintable(where() + ": Start made record " + folder + " without a chosen folder"));
            if (QFileInfo(folder).absolutePath() != QFileInfo(current->hdBase).absoluteFilePath())
                QFAIL(qPrintable(where() + ": record " + folder + " is not in the chosen folder " + current->hdBase));
        }
        for (auto r = unseen.rbegin(); r != unseen.rend() && !fresh.isEmpty(); ++r) r->folder = fresh.takeLast();
        for (const QString& folder : fresh) {
            known.insert(folder);
            // A Start that failed after the hard-drive set-up leaves that record behind, empty.
            checkReadable(folder);
            QVERIFY2(expected[folder] == 0, qPrintable(where() + ": record " + folder + " has blocks of no acquisition"));
        }
        for (Run& r : unseen) {
            known.insert(r.folder);
            finish(r, r.bound);
        }
    }

    QStringList newRecords()
    {
        QStringList found;
        QDirIterator it(root.path(), {"signalsInfo.csv"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString folder = QFileInfo(it.next()).absolutePath();
            if (!known.count(folder)) found << folder;
        }
        return found;
    }

    // `nextStart`: the next run's first block. The record takes blocks on the acquisition thread, up to the
    // moment the click that ended the run asked the thread to end: what the thread emitted before it ended is
    // the most a record may hold.
    void finish(Run r, std::size_t nextStart = SIZE_MAX)
    {
        if (!r.unseen) current.reset();
        const bool playback = !r.source.isEmpty();
        r.bound = std::min({tap.endOf(r.ordinal), nextStart, tap.size()});
        fprintf(stderr, "monkey   run from block %zu ends before block %zu, record '%s'\n", r.start, r.bound, qPrintable(r.folder));
        const bool endedByItself = playback && tap.endCount() > r.ends && action == std::string("wait");
        if (r.hd && r.folder.isEmpty() && !r.hdBase.isEmpty())
            QFAIL(qPrintable(where() + ": an acquisition with the hard-drive record on made no record"));
        if (!r.folder.isEmpty()) checkRecord(r, endedByItself);
        tap.forgetBefore(r.bound);
    }

    void checkRecord(const Run& r, bool endedByItself)
    {
        const QString at = where() + ": record " + r.folder + ": ";
        QString error;
        const std::vector<Block> rec = e2e::readRecord(r.folder, &error);
        QVERIFY2(error.isEmpty(), qPrintable(at + error));
        std::vector<Block> emitted;
        for (Block& b : tap.slice(r.start, r.bound))
            if (b.flags != 7) emitted.push_back(std::move(b));
        QVERIFY2(rec.size() <= emitted.size(),
                 qPrintable(at + QString("%1 blocks, only %2 emitted before its Stop").arg(rec.size()).arg(emitted.size())));
        QVERIFY2(int(rec.size()) >= r.accepted,
                 qPrintable(at + QString("%1 blocks, the window took %2").arg(rec.size()).arg(r.accepted)));
        for (std::size_t i = 0; i < rec.size(); ++i) {
            const Block& a = rec[i];
            const Block& e = emitted[i];
            QVERIFY2(a.seq == e.seq && a.battery == e.battery && a.flags == e.flags && a.data == e.data,
                     qPrintable(at + QString("block %1 (sequence %2) is not the block emitted (sequence %3)").arg(i).arg(a.seq).arg(e.seq)));
            // A break is the device's only after a reported drop or no-data period, or a reader kept away
            // longer than the radio buffers.
            const bool excused = i > 0 && (e.reports != emitted[i - 1].reports ||
                                           e.stamp - emitted[i - 1].stamp > qint64(1e6 / kTimeScale));
            if (i > 0 && !excused && !playback(r) && !r.unseen)
                QVERIFY2((rec[i - 1].seq + 1) % 65536 == a.seq,
                         qPrintable(at + QString("sequence %1 follows %2 at block %3").arg(a.seq).arg(rec[i - 1].seq).arg(i)));
        }
        if (playback(r)) {
            const std::vector<Block> src = e2e::readRecord(r.source, &error);
            QVERIFY2(rec.size() <= src.size(), qPrintable(at + QString("%1 blocks from a record of %2").arg(rec.size()).arg(src.size())));
            for (std::size_t i = 0; i < rec.size(); ++i)
                QVERIFY2(rec[i].seq == src[i].seq && rec[i].data == src[i].data,
                         qPrintable(at + QString("block %1 differs from the record played back").arg(i)));
            if (endedByItself)
                QVERIFY2(rec.size() == src.size(), qPrintable(at + QString("%1 of %2 blocks played back").arg(rec.size()).arg(src.size())));
        }
        expected[r.folder] = int(rec.size());
        openable.insert(r.folder);
    }
    static bool playback(const Run& r) { return !r.source.isEmpty(); }

    void checkReadable(const QString& folder)
    {
        QString error;
        const std::vector<Block> rec = e2e::readRecord(folder, &error);
        QVERIFY2(error.isEmpty(), qPrintable(where() + ": " + folder + ": " + error));
        expected[folder] = int(rec.size());
    }

    void checkInvariants()
    {
        QVERIFY2(hdRefusals.isEmpty(), qPrintable("Start refused a writable folder: " + hdRefusals.join("; ")));
        ReadBT* t = thread();
        if (!acquiring())
            QVERIFY2(QTest::qWaitFor([t] { return !t->isRunning(); }, 20000),
                     qPrintable(where() + ": the acquisition thread runs with Stop disabled, status \"" + status() + "\""));
        if (status() == "No device connected")
            QVERIFY2(!acquiring() && !t->isRunning(), qPrintable(where() + ": no device, yet the acquisition goes on"));
        // A thread that ended by itself (a record's end) has its end reported to the window, which stops.
        if (acquiring() && !t->isRunning())
            QVERIFY2(QTest::qWaitFor([this, t] { return !acquiring() || t->isRunning(); }, 20000),
                     qPrintable(where() + ": Stop is enabled, but no acquisition thread runs; status \"" + status() + "\""));
        // The thread reads the model it was given at Start: the window must not have put another in its place.
        const QString title = window->findChild<QGroupBox*>()->title();
        if (current && t->isRunning())
            QVERIFY2(title.startsWith(current->device + " - HW"),
                     qPrintable(where() + ": the acquisition of " + current->device + " runs on, the window shows \"" + title +
                                "\", status \"" + status() + "\""));
    }

    void pandasCheck()
    {
        if (!e2e::haveTestPython() || expected.empty()) return;
        QStringList args{e2e::sourcePath("tests/tools/check_records.py")};
        for (const auto& e : expected) args << e.first;
        QProcess p;
        p.start(e2e::sourcePath(".venv/bin/python"), args);
        QVERIFY2(p.waitForFinished(120000), "the pandas check did not finish");
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && !out.contains("No module named"),
                 qPrintable(out + p.readAllStandardError()));
        for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
            const QStringList f = line.split('\t');
            QVERIFY2(f.value(0) == "OK", qPrintable(QString("seed %1, pandas: %2").arg(seed).arg(line)));
            QVERIFY2(f.value(2).toInt() == expected[f.value(1)],
                     qPrintable(QString("seed %1, pandas reads %2 blocks in %3, the reader %4")
                                    .arg(seed).arg(f.value(2), f.value(1)).arg(expected[f.value(1)])));
        }
        QCOMPARE(out.count('\n'), int(expected.size()));
    }

    const quint32 seed;
    const int steps;
    QRandomGenerator rng;
    QTemporaryDir root;
    QString hdRoot;
    QString previousCwd;
    QObject context;
    MainWindow* window = nullptr;
    ModalAnswerer answerer{[this](QWidget* modal) { return answer(modal); }};
    Tap tap;
    std::size_t startsSeen = 0;
    std::optional<Run> current;
    std::set<QString> known;
    std::set<QString> openable;
    std::map<QString, int> expected;  // record folder -> blocks the reader found
    QStringList hdRefusals;
    bool quitExpected = false;

    int step = 0;
    const char* action = "";
    QString detail;
    QString wizardChoice;
    QString wizardDevice;
    bool swapPair = false;
    QString openPath;
    bool folderDialogAccepts = true;
    struct {
        QString card;
        QString output;
        int polls = 0;
        bool imported = false;
    } importState;
};

}  // namespace

QtMessageHandler previousHandler = nullptr;

class MonkeyTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The offscreen platform says this for every dialog shown.
        previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (!text.contains("does not support propagateSizeHints")) previousHandler(type, context, text);
        });
    }
    void monkey_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("steps");
        const int steps = qEnvironmentVariableIsSet("KVN_MONKEY_STEPS") ? qEnvironmentVariableIntValue("KVN_MONKEY_STEPS") : kSteps;
        if (qEnvironmentVariableIsSet("KVN_MONKEY_SEED")) {
            const quint32 seed = qgetenv("KVN_MONKEY_SEED").toUInt();
            QTest::addRow("seed %u", seed) << seed << steps;
            return;
        }
        for (quint32 seed : {1u, 2u, 3u}) QTest::addRow("seed %u", seed) << seed << steps;
    }

    void monkey()
    {
        QFETCH(quint32, seed);
        QFETCH(int, steps);
        Monkey m(seed, steps);
        // Inside the application's event loop, as the program runs: only there does closing a last window quit.
        while (!m.finished && !QTest::currentTestFailed()) {
            QTimer::singleShot(0, qApp, [&m] {
                m.run();
                qApp->exit();
            });
            qApp->exec();
        }
        if (!QTest::currentTestFailed()) m.finish();
    }
};

QTEST_MAIN(MonkeyTest)
#include "test_monkey_threads.moc"
