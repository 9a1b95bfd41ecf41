// item_store_tool runs one operation of the keyring item store or its probe in a process of its
// own, as the helper's one-shot commands do, so tests can point each run at another session bus
// (libsecret keeps one connection per process) and run many at once.
//
//   item_store_tool [--bound-ms N] probe                 prints "yes" or "no"
//   item_store_tool [--bound-ms N] store SERVICE ACCOUNT value on standard input; prints "ok"
//   item_store_tool [--bound-ms N] load SERVICE ACCOUNT  prints the value; status 3 when absent
//   item_store_tool [--bound-ms N] delete SERVICE ACCOUNT
//   item_store_tool [--bound-ms N] add-key TAG           bytes on standard input; "added"/"exists"
//   item_store_tool [--bound-ms N] find-key TAG          prints the bytes; status 3 when absent
//   item_store_tool [--bound-ms N] delete-key TAG
//
// A failure prints "<step>: <detail>" on standard error and ends with status 2.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "keyring/secret_service_item_store.h"
#include "keyring/secret_service_probe.h"

using quorvane::SecretBytes;
using quorvane::platform::ItemStoreError;
using quorvane::platform::SecretServiceItemStore;

namespace {

const char* stepName(ItemStoreError::Step step) {
    switch (step) {
        case ItemStoreError::Step::replace:
            return "replace";
        case ItemStoreError::Step::create:
            return "create";
        case ItemStoreError::Step::load:
            return "load";
        case ItemStoreError::Step::damaged:
            return "damaged";
        case ItemStoreError::Step::remove:
            return "remove";
    }
    return "?";
}

std::vector<std::uint8_t> readInput() {
    std::string text(std::istreambuf_iterator<char>(std::cin), {});
    return {text.begin(), text.end()};
}

int print(const std::optional<SecretBytes>& value) {
    if (!value) return 3;
    std::fwrite(value->data(), 1, value->size(), stdout);
    return 0;
}

int run(std::chrono::milliseconds bound, const std::vector<std::string>& args) {
    const std::string& op = args.at(0);
    if (op == "probe") {
        using Answer = quorvane::platform::SecretServiceProbe::Answer;
        auto probe = quorvane::platform::probeSecretService(bound);
        std::fputs(probe.answer == Answer::answers  ? "yes"
                   : probe.answer == Answer::absent ? "no"
                                                    : ("unusable: " + probe.reason).c_str(),
                   stdout);
        return 0;
    }
    SecretServiceItemStore store(bound);
    if (op == "store") {
        store.storeSecret({args.at(1), args.at(2)}, readInput());
        std::fputs("ok", stdout);
        return 0;
    }
    if (op == "load") return print(store.loadSecret({args.at(1), args.at(2)}));
    if (op == "delete") {
        store.deleteSecret({args.at(1), args.at(2)});
        return 0;
    }
    if (op == "add-key") {
        std::fputs(store.addKeyItem(args.at(1), readInput()) ? "added" : "exists", stdout);
        return 0;
    }
    if (op == "find-key") return print(store.findKeyItem(args.at(1)));
    if (op == "delete-key") {
        store.deleteKeyItem(args.at(1));
        return 0;
    }
    std::fputs("unknown operation\n", stderr);
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::chrono::milliseconds bound = SecretServiceItemStore::kDefaultBound;
    if (args.size() >= 2 && args[0] == "--bound-ms") {
        bound = std::chrono::milliseconds(std::stol(args[1]));
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return 64;
    try {
        return run(bound, args);
    } catch (const ItemStoreError& error) {
        std::fprintf(stderr, "%s: %s\n", stepName(error.step()), error.detail().c_str());
        return 2;
    }
}
