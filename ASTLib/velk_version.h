// The build's version string, generated from the repository state at build time.
#pragma once
const char* velk_versionString();
