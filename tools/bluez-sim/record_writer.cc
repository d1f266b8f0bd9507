#include "record_writer.h"

#include "log.h"

namespace harlo::bluez_sim {

void RecordWriter::write() const {
  if (!path_) return;
  RecordFile contents;
  for (const auto& source : sources_) source(contents);
  auto written = writeFileAtomically(*path_, formatRecordFileContents(contents));
  if (!written) logWarning("could not write " + *path_ + ": " + written.error());
}

}  // namespace harlo::bluez_sim
