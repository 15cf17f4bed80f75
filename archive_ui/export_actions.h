#pragma once

class QWidget;
class CFrameArchive;

// "Shot..." and "Convert to AVI" of the playback panel; the panel pauses before calling.
void RunSnapshotExport(QWidget* parent, CFrameArchive& reader);
void RunAviExport(QWidget* parent, CFrameArchive& reader);
