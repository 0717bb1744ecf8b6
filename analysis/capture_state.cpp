#include "analysis/capture_state.h"

CaptureState::CaptureState() : columns(ColumnSet::Startup()) {}

// The connection table destroys its records with it.
CaptureState::~CaptureState() = default;
