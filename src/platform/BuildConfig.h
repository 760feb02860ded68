#pragma once

#include <QString>

// Where the product backend lives and which roots it is pinned to. The values are
// fixed at build time; tests replace them with a loopback backend and its test CA.
struct BuildConfig {
    QString productDomain;   // registrable domain, e.g. "ombrix.app"
    QString apiHost;         // the one host whose certificates are pinned
    QString defaultEndpoint; // HTTPS base URL without a path
    QString pinnedRootsPath; // PEM file of the pinned roots; empty: the bundled resource

    static const BuildConfig& current();
    // Replaces the configuration for the rest of the process (tests).
    static void overrideForTesting(const BuildConfig& config);
    static void resetForTesting();
};
