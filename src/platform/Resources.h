#pragma once

// Registers the bundled resources (pinned roots, icons). Call once at start.
void initOmbrixResources();
