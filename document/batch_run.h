// The batch run: every file of the snapshot's batch job loaded, filtered
// with the batch's settings and saved, one after another or pipelined.
#pragma once

#include "document/processing_worker.h"

namespace calmora {

// How a batch moves its files along: one after another, or with the next
// file decoded and the previous one written while one is filtered. Both
// write the same files and report the same lists in the same order.
enum class BatchFlow { Pipelined, Sequential };

// On the starter's thread: the batch's preset, resolved into the snapshot's
// settings, so that a preset edited while the batch runs cannot change it
// halfway. The run no longer reads the preset table.
void resolveBatchSettings(JobSnapshot& snapshot);

// The batch run over the snapshot's batch job.
void runBatch(ProcessingJob& job, JobSnapshot& snapshot, BatchFlow flow = BatchFlow::Pipelined);

} // namespace calmora
