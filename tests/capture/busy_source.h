#pragma once

// Registers "cindralbusysrc": a video source whose start fails with GST_RESOURCE_ERROR_BUSY,
// as a camera held by another program does.
void RegisterBusyTestSource();
