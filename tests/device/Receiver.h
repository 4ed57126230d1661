#pragma once

// Collects the acquisition thread's reports on the test's own thread, through queued connections.

#include "ReadBT.h"

#include <QObject>

#include <vector>

class Receiver : public QObject {
public:
    explicit Receiver(ReadBT& t) {
        connect(&t, &ReadBT::resultReady, this,
                [this](const std::vector<double>& d, int seq, short batt, ushort flags, qlonglong ts, qlonglong utc) {
                    data.push_back(d);
                    seqs.push_back(seq);
                    battery = batt;
                    allFlags.push_back(flags);
                    stamps.push_back(ts);
                    utcs.push_back(utc);
                });
        connect(&t, &ReadBT::noData, this, [this] { ++noData; });
        connect(&t, &ReadBT::lostConnnection, this, [this] {
            ++lost;
            lostAfter.push_back(seqs.size());
        });
        connect(&t, &ReadBT::signalEnd, this, [this] {
            ++ends;
            endAfter.push_back(seqs.size());
        });
    }
    std::vector<std::vector<double>> data;
    std::vector<int> seqs;
    std::vector<ushort> allFlags;
    std::vector<qlonglong> stamps, utcs;
    std::vector<size_t> lostAfter, endAfter;
    short battery = 0;
    int noData = 0, lost = 0, ends = 0;
};
