#pragma once

// The recorder's output directory, made ready before anything is recorded: created when missing; refused when
// it holds anything already (a recording of before would be overwritten without a word), unless the caller
// asked to overwrite: then the files of a previous recording are removed, so that none of its cameras'
// files stays behind among the new ones, and everything else is left alone.

#include <string>
#include <vector>

#include "record_error.h"

namespace camera_record {

// Whether `name` (a file name without its directory) is one the recorder writes.
bool IsRecordingFile(const std::string& name);

// Prepares `path`; with `overwrite`, the previous recording's files are removed and their names returned.
// The error names the directory and what is in the way.
RecordResult<std::vector<std::string>> PrepareOutputDirectory(const std::string& path, bool overwrite);

}  // namespace camera_record
