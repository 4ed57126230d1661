#pragma once

#include "KvnSignal.h"

#include <cstddef>
#include <string>
#include <vector>

// Readable name of a signal, by its name's first three letters ("EEG" -> "EEG", "COM" -> "Aux", "ANC" ->
// "Anchor", ...); a name it does not know is returned as it is.
std::string decoder_output_type(const std::string& signalName);

// File-name stem for signal `index` of `signalList`: the signal's name reduced to letters, digits, '-' and '_',
// followed by "_1", "_2", ... when several signals of the list share that name (the n-th of them gets "_n").
// The stem never equals "UTC" or "signalsInfo" (such names get the prefix "signal_"). The result depends only
// on the signals' names, not on `device` nor on whether "uSD" is in the list (it is kept out of the count),
// so a list with or without "uSD" gives the same stems as long as "uSD" comes last. An index outside the list
// gives "signal<index>".
std::string niceNameAndSuffix(const std::string& device, const std::vector<KvnSignal>& signalList, std::size_t index);
// The stems of every signal of the list at once, as niceNameAndSuffix gives them, in time linear in the list.
std::vector<std::string> niceNamesAndSuffixes(const std::vector<KvnSignal>& signalList);
