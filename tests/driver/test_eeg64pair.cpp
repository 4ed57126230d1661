// What the live EEG 64 pair and the import of its cards share: the merge of the halves' battery and flags.

#include "Battery.h"
#include "Eeg64Pair.h"

#include <QtTest>

namespace {

constexpr int16_t C = Battery::CHARGING, U = Battery::UNKNOWN;

}  // namespace

class TestEeg64Pair : public QObject {
    Q_OBJECT

private slots:
    void mergeStatusTable() {
        const struct {
            int16_t lb;
            uint16_t lf;
            int16_t rb;
            uint16_t rf;
            int16_t battery;
            uint16_t flags;
        } cases[] = {
            {3, 0, 5, 0, 3, 0},          // two levels: the lower
            {0, 1, 5, 2, 0, 3},          //
            {C, 0, 4, 0, 4, 0},          // a level beats charging ...
            {U, 0, 1, 0, 1, 0},          // ... and unknown
            {C, 2, U, 4, C, 6},          // charging beats unknown
            {C, 0, C, 0, C, 0},          //
            {U, 0, U, 0, U, 0},          //
            {9, 0, -7, 0, U, 0},         // not a level nor charging: unknown
            {9, 0, 2, 0, 2, 0},          //
            {2, 5, 2, 6, 2, 6},          // two SD card errors that would OR to "not synchronised"
            {2, 3, 2, 4, 2, 4},          //
            {2, 7, 2, 0, 2, 7},          // a half that is not synchronised itself
            {2, 0x100, 2, 0x8, 2, 0x108},
        };
        for (const auto& c : cases) {
            const QByteArray row = QByteArray::number(int(&c - cases));
            for (bool swapped : {false, true}) {  // the rule has no favourite side
                const eeg64::Status s = swapped ? eeg64::mergeStatus(c.rb, c.rf, c.lb, c.lf)
                                                : eeg64::mergeStatus(c.lb, c.lf, c.rb, c.rf);
                QVERIFY2(s.battery == c.battery && s.flags == c.flags,
                         row + ": " + QByteArray::number(s.battery) + " " + QByteArray::number(s.flags));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestEeg64Pair)
#include "test_eeg64pair.moc"
