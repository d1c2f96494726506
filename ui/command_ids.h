// The command ids of the pane framework's buttons: each item of a pane or
// the toolbar is found by the command it stands for, and a button that
// carries one of these runs that command. One home for them all, so that no
// file names a command by a bare number.
#pragma once

namespace calmora {

enum CommandId : int {
    kOpenCommand = 57601,
    kSaveCommand = 57603,
    kUndoCommand = 57643,
    kZoomInCommand = 134,
    kZoomOutCommand = 135,
    kMoreControlsCommand = 32780,
    kGoCommand = 32781,
    kNoiseFilterCommand = 32783,
    kNoiseProfileCommand = 32776,
    kSavePresetCommand = 32845,
    kDeletePresetCommand = 32846,
    kAutoStrengthCommand = 32850,
    kPreviewCommand = 32877,
};

} // namespace calmora
