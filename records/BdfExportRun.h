#pragma once

#include <QString>

#include <functional>
#include <memory>

class ExportSource;
class QWidget;

// "Export to BDF+...": asks where to write (BDF+, or EDF+ when the user picks it), then writes the record on a
// pool thread behind a cancellable progress dialog and says how it went. `makeSource` runs on that thread and
// returns the opened record, or null with `error` set. Returns true when a file was written.
bool runBdfExport(QWidget* parent, const QString& suggestedName,
                  std::function<std::unique_ptr<ExportSource>(QString& error)> makeSource);
