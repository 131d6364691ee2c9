#include "ts/RecordingPhase.h"

#include <utility>

namespace vexar
{

RecordingPhase::RecordingPhase(ScanState& state, const Selection& selection,
                               const std::vector<uint16_t>& pidsToRecord, std::string channel)
    : m_state(state), m_channel(std::move(channel)), m_selectedProgram(selection.selectedProgram)
{
    fillPidFilter(m_pidFilter, pidsToRecord);
}

} // namespace vexar
