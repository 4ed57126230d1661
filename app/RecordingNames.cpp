#include "RecordingNames.h"

#include "DeviceModel.h"
#include "KvnSignal.h"
#include "SignalNames.h"
#include "StatusTexts.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <cmath>
#include <vector>

QString sdFolderName(const QDateTime& start, const QString& userText)
{
    return start.toString(QStringLiteral("'viewer/'yy-MM-dd/HH-mm-ss/")) + QFileInfo(userText).path();
}

QString sdFileName(const QString& userText)
{
    return QFileInfo(userText).fileName();
}

QString sdInputText(const QString& folder, const QString& file)
{
    // A device that was never given names would otherwise show "." as if the user had typed it.
    if (folder.isEmpty() && file.isEmpty()) return QString();
    const QString path = QFileInfo(QDir(QDir::cleanPath(folder)), file).filePath();
    static const QRegularExpression dated(QStringLiteral("^viewer/\\d\\d-\\d\\d-\\d\\d/\\d\\d-\\d\\d-\\d\\d/(.*)"));
    const QRegularExpressionMatch m = dated.match(path);
    return m.hasMatch() ? m.captured(1) : path;
}

QString sdCardPath(const QString& folder, const QString& file)
{
    QString f = folder;
    if (f.size() >= 2 && f.endsWith(QStringLiteral("\\."))) f.chop(2);
    QString name = file;
    if (name.startsWith(QStringLiteral("./"))) name.remove(0, 2);
    QString joined = f + "/" + name;
    return joined.replace('\\', '/');
}

QString hdRecordFolderName(const QString& deviceName, const QDateTime& start)
{
    // One folder, whatever the name holds: a played-back record is named by its path, and a device name may
    // carry separators or control characters.
    QString name = deviceName.mid(deviceName.lastIndexOf('/') + 1);
    for (QChar& c : name)
        if (c.unicode() < 0x20 || c == 0x7f || QStringLiteral("\\:*?\"<>|").contains(c)) c = '_';
    if (name.isEmpty() || name == "." || name == "..") name = QStringLiteral("record");
    return name + "-" + start.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
}

QJsonObject signalsInfo(const DeviceModel& model, const QDateTime& start, int sensorType, bool withUtc)
{
    const std::string device = model.description();
    const unsigned rate = model.frequency();
    // The list given to the file-name helper leaves "uSD" out, as the CSV writer does.
    std::vector<KvnSignal> listed;
    for (unsigned i = 0; i < model.signal_count(); ++i) {
        if (isSdCard(model.signal_name(i))) continue;
        listed.emplace_back(model.signal_name(i), model.signal_channels(i), 1, model.signal_samples(i),
                            unsigned(model.signal_mode(i)));
    }

    QJsonObject info;
    info.insert("device", QString::fromStdString(device));
    info.insert("record_date", start.toString(Qt::TextDate));
    info.insert("eeg_sensor_type", sensorTypeText(sensorType));

    QJsonArray signalArray;
    for (std::size_t k = 0; k < listed.size(); ++k) {
        const KvnSignal& s = listed[k];
        // An aux input's rows of one block are its IMUs, as many as its mode says.
        const bool imus = signalKind(s.name) == SignalKind::Aux;
        QJsonObject o;
        o.insert("type", QString::fromStdString(decoder_output_type(s.name)));
        o.insert("channels", int(s.channels));
        o.insert("sampling_rate", int(samplingRate(s.name, s.samples, rate)));
        o.insert("samples_per_block", int(imus ? s.mode : s.samples));
        o.insert("mode", int(s.mode));
        // Indexed within the list the helper is given: with "uSD" left out of the list, the model's own index
        // would name the wrong signal for every signal after a "uSD" that is not last.
        o.insert("filename", QString::fromStdString(niceNameAndSuffix(device, listed, k)) + ".csv");
        signalArray.append(o);
    }
    if (withUtc) {
        QJsonObject utc;
        utc.insert("type", "UTC");
        utc.insert("channels", 1);
        utc.insert("sampling_rate", int(rate));
        utc.insert("samples_per_block", 1);
        utc.insert("mode", 1);
        utc.insert("filename", "UTC.csv");
        signalArray.append(utc);
    }
    info.insert("signals", signalArray);
    if (withUtc)
        info.insert("gap_detection",
                    QStringLiteral("Blocks lost on the way (a link drop) leave no rows: the sample column only counts a "
                                   "file's rows and runs on over a gap, so time does not follow from the row index. "
                                   "The sequence column numbers blocks modulo 65536 and the utc column stamps each "
                                   "block in microseconds: a sequence step other than +1 (mod 65536), or a utc "
                                   "step well over 1/block rate, is a gap. The gaps found while recording are listed "
                                   "in \"gaps\" when the record closes (first and last missing sequence, missing "
                                   "blocks, blocks recorded before it, seconds); no \"gaps\" key means the record "
                                   "was not closed."));

    if (auto* configurable = qobject_cast<const ConfigurableDeviceModel*>(&model)) {
        if (configurable->has_sd_card() && configurable->is_sd_card_enabled())
            info.insert("sd_card_path", sdCardPath(QString::fromStdString(configurable->folder_name()),
                                                   QString::fromStdString(configurable->file_name())));
    }
    return info;
}

void RecordGaps::reset(unsigned blockRate)
{
    *this = RecordGaps();
    blockRate_ = blockRate;
}

void RecordGaps::add(uint16_t sequence, int64_t utc)
{
    if (lastSequence_ >= 0) {
        int64_t missing = (int(sequence) - lastSequence_ - 1) & 0xFFFF;
        const double interval = blockRate_ ? 1.0 / blockRate_ : 0.0;
        const double seconds = double(utc - lastUtc_) * 1e-6;
        // The sequence alone cannot tell a gap of m blocks from one of m + 65536k: the clock can.
        if (blockRate_ && utc > 0 && lastUtc_ > 0) {
            const double byClock = seconds * blockRate_ - 1.0;
            const double wraps = std::floor((byClock - double(missing)) / 65536.0 + 0.5);
            if (wraps > 0) missing += int64_t(wraps) * 65536;
        }
        if (missing > 0)
            gaps_.push_back({(lastSequence_ + 1) & 0xFFFF, (int(sequence) + 0xFFFF) & 0xFFFF, missing, blocks_,
                             utc > 0 && lastUtc_ > 0 ? std::max(0.0, seconds - interval) : double(missing) * interval});
    }
    lastSequence_ = sequence;
    lastUtc_ = utc;
    ++blocks_;
}

QJsonArray RecordGaps::toJson() const
{
    QJsonArray out;
    for (const Gap& g : gaps_) {
        QJsonObject o;
        o.insert("first_sequence", g.firstSequence);
        o.insert("last_sequence", g.lastSequence);
        o.insert("missing_blocks", double(g.missingBlocks));
        o.insert("blocks_before", double(g.beforeBlock));
        o.insert("seconds", std::round(g.seconds * 1e6) / 1e6);
        out.append(o);
    }
    return out;
}
