#pragma once

#include "platform/Json.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// What the computer says about its local model runtime before every long poll of
// the backend: sent as JSON text in the "X-Bridge-Heartbeat" request header.
struct BridgeHeartbeat {
    std::optional<QString> loaded_model;          // first model the local server lists
    std::optional<double> ram_used_gb;            // memory in use, GiB
    std::optional<double> ram_total_gb;           // physical memory, GiB
    std::optional<double> tok_per_sec_recent;     // moving average of generation speed
    std::optional<QStringList> downloaded_models; // ids of the models in the local cache

    bool operator==(const BridgeHeartbeat& other) const = default;

    // The JSON object: "loaded_model", "ram_used_gb", "ram_total_gb",
    // "tok_per_sec_recent", "downloaded_models", in that order, each only when
    // present. A number that is not finite counts as absent (JSON has no form for it).
    Json toJson() const;

    // The header text: compact JSON in plain ASCII. Characters outside ASCII are
    // written as \uXXXX escapes (HTTP header values must not carry raw UTF-8) and
    // "/" is written "\/", as the backend has always received it. Every JSON reader
    // reads the text back to the same values.
    QByteArray headerValue() const;
};
