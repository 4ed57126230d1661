#include "RecordFixtures.h"

#include "ImportConfiguration.h"
#include "Importer.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using Record = SimpleImportConfiguration::Record;

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("x");
}

QLineEdit* inputOf(SimpleImportConfiguration& p) { return p.findChild<QLineEdit*>("inputPath"); }
QComboBox* boxOf(SimpleImportConfiguration& p) { return p.findChild<QComboBox*>("recordBox"); }

// Types `text` into the picker and waits for its search to be listed.
bool search(SimpleImportConfiguration& picker, const QString& text)
{
    inputOf(picker)->setText(text);
    for (int i = 0; i < 500 && picker.isSearching(); ++i) QTest::qWait(10);
    QTest::qWait(20);  // the watcher's report is queued
    return !picker.isSearching();
}

QStringList entries(SimpleImportConfiguration& picker)
{
    QStringList list;
    for (int i = 0; i < boxOf(picker)->count(); ++i) list << boxOf(picker)->itemText(i);
    list.sort();
    return list;
}

}  // namespace

class ImportConfigurationTest : public QObject {
    Q_OBJECT
private slots:
    void walkFindsFirstFilesOnly()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/card";
        touch(root + "/sd/0_abc.dat");
        touch(root + "/sd/1_abc.dat");
        touch(root + "/only/1_xyz.dat");
        touch(root + "/0_top.tar.gz");
        touch(root + "/x0_no.kvb");
        touch(root + "/0x_no.kvb");
        QVERIFY(QDir().mkpath(root + "/0_folder.kvb"));  // a folder is no record
        QVERIFY(QFile::link(root, root + "/sd/loop"));      // links to folders are not followed

        auto found = SimpleImportConfiguration::findRecords(QFile::encodeName(root));
        std::sort(found.begin(), found.end(), [](const Record& a, const Record& b) { return a.name < b.name; });
        QCOMPARE(int(found.size()), 2);
        QCOMPARE(found[0].folder, QFile::encodeName(root + "/sd"));
        QCOMPARE(found[0].name, QByteArray("abc"));
        QCOMPARE(found[1].folder, QFile::encodeName(root));
        QCOMPARE(found[1].name, QByteArray("top"));

        QVERIFY(SimpleImportConfiguration::findRecords(QFile::encodeName(root + "/nowhere")).empty());
        QVERIFY(SimpleImportConfiguration::findRecords(QByteArray()).empty());
        QVERIFY(SimpleImportConfiguration::findRecords(QFile::encodeName(root), [] { return true; }).empty());
    }

    void pickerListsDisplayPathsAndBuildsImporters()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/card";
        QVERIFY(!fixtures::writeCardRecord(root, "sd", "abc", fixtures::halfSignals(), 32, 3).empty());
        QVERIFY(!fixtures::writeCardRecord(root, ".", "top", fixtures::halfSignals(), 32, 3).empty());

        SimpleImportConfiguration picker([](const QByteArray&, const QByteArray&) { return true; });
        QSignalSpy updated(&picker, &ImportConfiguration::updated);
        QVERIFY(!picker.createImporter());
        QVERIFY(picker.currentFolder().isEmpty());

        QVERIFY(search(picker, root));
        QCOMPARE(entries(picker), QStringList({"/sd/abc", "/top"}));
        QCOMPARE(boxOf(picker)->currentIndex(), 0);
        QVERIFY(updated.count() >= 1);
        for (int i = 0; i < 2; ++i) {
            boxOf(picker)->setCurrentIndex(i);
            const bool inSd = boxOf(picker)->currentText() == "/sd/abc";
            QCOMPARE(picker.currentFolder(), QFile::encodeName(inSd ? root + "/sd" : root));
            std::unique_ptr<BaseImporter> importer(picker.createImporter());
            QVERIFY(importer);
            QCOMPARE(int(importer->get_signals().size()), 2);
            QCOMPARE(importer->total_frames(), int64_t(3));
        }

        // Given with a trailing slash, the folder itself is shorter than the text: its record shows by name.
        QVERIFY(search(picker, root + "/"));
        QCOMPARE(entries(picker), QStringList({"/top", "sd/abc"}));

        const int before = updated.count();
        QVERIFY(search(picker, root + "/empty"));
        QCOMPARE(boxOf(picker)->count(), 0);
        QVERIFY(updated.count() > before);  // the cleared box no longer offers a record
        QVERIFY(!picker.createImporter());
        QVERIFY(picker.currentBaseName().isEmpty());
    }

    void newestTextWins()
    {
        QTemporaryDir dir;
        for (int i = 0; i < 200; ++i) touch(dir.path() + QString("/old/f%1/0_old%1.kvb").arg(i));
        touch(dir.path() + "/new/0_fresh.kvb");
        SimpleImportConfiguration picker([](const QByteArray&, const QByteArray&) { return true; });
        inputOf(picker)->setText(dir.path() + "/old");
        inputOf(picker)->setText(dir.path() + "/ne");
        QVERIFY(search(picker, dir.path() + "/new"));
        QTest::qWait(100);
        QCOMPARE(entries(picker), QStringList({"/fresh"}));
    }

    void baseNamesDropRestartSuffixAndSide()
    {
        QTemporaryDir dir;
        touch(dir.path() + "/0_r005l_1.kvb");
        SimpleImportConfiguration picker([](const QByteArray&, const QByteArray&) { return true; });
        QVERIFY(search(picker, dir.path()));
        QCOMPARE(picker.currentBaseName(), QByteArray("r005"));
    }

    void eeg64FiltersAndPairing()
    {
        QTemporaryDir dir;
        const QString l = dir.path() + "/L", r = dir.path() + "/R";
        const std::vector<KvnSignal> eeg8 = {{"EEG", 8, 8, 8, 1}, {"uSD", 1, 1, 1, 1}};
        const std::vector<KvnSignal> bvpFirst = {{"BVP", 32, 32, 8, 1}};
        QVERIFY(!fixtures::writeCardRecord(l, ".", "r1l", fixtures::halfSignals(), 32, 4).empty());
        QVERIFY(!fixtures::writeCardRecord(l, ".", "small_l", eeg8, 32, 4).empty());      // 8 channels
        QVERIFY(!fixtures::writeCardRecord(l, ".", "bvpl", bvpFirst, 32, 4).empty());     // not EEG
        QVERIFY(!fixtures::writeCardRecord(l, ".", "r1r_x", fixtures::halfSignals(), 32, 4).empty());
        touch(l + "/0_brokenl.kvb");                                                      // unreadable
        QVERIFY(!fixtures::writeCardRecord(r, ".", "r1r", fixtures::halfSignals(), 32, 4).empty());
        QVERIFY(!fixtures::writeCardRecord(r, ".", "r2r_0", fixtures::halfSignals(), 32, 4).empty());
        QVERIFY(!fixtures::writeCardRecord(r, ".", "r1l", fixtures::halfSignals(), 32, 4).empty());

        Eeg64ImportConfiguration pair;
        QStringList titles;
        for (auto* g : pair.findChildren<QGroupBox*>()) titles << g->title();
        titles.sort();
        QCOMPARE(titles, QStringList({"Left record", "Right record"}));
        QSignalSpy updated(&pair, &ImportConfiguration::updated);
        QVERIFY(!pair.createImporter());

        QVERIFY(search(*pair.leftPicker(), l));
        QCOMPARE(entries(*pair.leftPicker()), QStringList({"/r1l"}));
        QVERIFY(updated.count() >= 1);
        QVERIFY(!pair.createImporter());  // no right half yet

        QVERIFY(search(*pair.rightPicker(), r));
        QCOMPARE(entries(*pair.rightPicker()), QStringList({"/r1r", "/r2r_0"}));
        QComboBox* right = boxOf(*pair.rightPicker());
        right->setCurrentIndex(right->findText("/r2r_0"));
        QVERIFY(!pair.createImporter());  // r1 and r2 differ in more than the side

        right->setCurrentIndex(right->findText("/r1r"));
        std::unique_ptr<BaseImporter> merged(pair.createImporter());
        QVERIFY(merged);
        const auto list = merged->get_signals();
        QVERIFY(!list.empty());
        QCOMPARE(list.front().channels, 64u);
        QCOMPARE(merged->total_frames(), int64_t(4));
    }
};

QTEST_MAIN(ImportConfigurationTest)
#include "test_importconfiguration.moc"
