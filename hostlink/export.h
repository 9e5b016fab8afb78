// Marks the few symbols the plug-in library exports; everything else is hidden.
#pragma once

#define WARPMENDER_EXPORT __attribute__((visibility("default")))
