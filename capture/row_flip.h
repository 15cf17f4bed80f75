#pragma once

// "cindralrowflip": turns 32-bit blue-green-red-unused frames upside down, one row copy at a
// time, so that frames reach the sink bottom row first. The stock flip element moves pixel by
// pixel and cost a third of a recording's time. Registered once per process; false when the
// registry refuses it (the graph then falls back to videoflip).
bool RegisterRowFlip();
