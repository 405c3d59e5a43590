#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "catalogue/NvdsConfig.h"
#include "cli/Commands.h"
#include "line/ProductionRecord.h"
#include "link/usb/LibUsbDriver.h"
#include "platform/AppFolder.h"
#include "platform/BenchDoctor.h"
#include "platform/Prompter.h"

namespace nvds::cli {

namespace {

struct DoctorArgs {
    std::vector<std::string> ports;
    std::string record;
    std::string root;
    bool json = false;
};

// One database: readable and a tag database the catalogue loads.
DoctorFinding CheckDatabase(const std::string& what, const std::string& path) {
    DoctorFinding f{"catalogue", path, true, what + " readable and valid", ""};
    if (::access(path.c_str(), R_OK) != 0) {
        f.ok = false;
        f.detail = what + " cannot be read";
        f.fix = "reinstall the package, or give the database with --system/--user";
        return f;
    }
    RecordingPrompter quiet;
    CNvdsConfig config(quiet);
    TagTable table;
    if (!config.LoadTagDb(path, table)) {
        f.ok = false;
        f.detail = what + " is not a valid tag database";
        f.fix = "replace it with the shipped copy (reinstall the package)";
    }
    return f;
}

void CheckCatalogue(const CliContext& ctx, std::vector<DoctorFinding>& out) {
    out.push_back(CheckDatabase(
        "system database", ctx.systemDb.empty() ? GetAppFolder() + "/zbkey_db.xml" : ctx.systemDb));
    if (!ctx.userDb.empty()) {
        out.push_back(CheckDatabase("user database", ctx.userDb));
        return;
    }
    out.push_back(CheckDatabase("shipped user database", GetAppFolder() + "/userkey_db.xml"));
    const std::string copy = CNvdsConfig::UserDbCopyPath();
    if (!copy.empty() && ::access(copy.c_str(), F_OK) == 0) {
        DoctorFinding f = CheckDatabase("your own user database", copy);
        if (!f.ok) {
            f.fix = "fix or delete it (the shipped user tags are read again once it is gone)";
        }
        out.push_back(f);
    } else {
        out.push_back({"catalogue", copy.empty() ? "your own user database" : copy, true,
                       "your own user database is not made yet (the shipped one is read)", ""});
    }
}

void CheckRecord(const std::string& target, std::vector<DoctorFinding>& out) {
    std::string error;
    if (line::OpenProductionRecordToRead(target, error)) {
        out.push_back({"record", target, true, "reachable", ""});
    } else {
        out.push_back({"record", target, false, error,
                       "check the path (a record a line has made) or the server and its "
                       "connection string"});
    }
}

// The bridge ids the link looks for: NVDS_USB_BRIDGE, else the default.
std::vector<std::string> BridgeIds(const LinkFactory& links) {
    const std::string chosen = links.BridgeIds();
    std::vector<UsbId> ids;
    if (!ParseBridgeIds(chosen.empty() ? USB_BRIDGE_DEFAULT_IDS : chosen, ids, nullptr)) {
        ParseBridgeIds(USB_BRIDGE_DEFAULT_IDS, ids, nullptr);
    }
    std::vector<std::string> texts;
    for (const UsbId& id : ids) {
        char text[10];
        std::snprintf(text, sizeof text, "%04x:%04x", id.vid, id.pid);
        texts.push_back(text);
    }
    return texts;
}

int RunDoctor(const CliContext& ctx, const DoctorArgs& args) {
    BenchDoctorInput input;
    if (!args.root.empty()) {
        // Absolute, as the links under proc/*/fd name the devices.
        const std::string r = std::filesystem::absolute(args.root).lexically_normal().string();
        input.roots = {r + "/sys",      r + "/dev",      r + "/etc",         r + "/proc",
                       r + "/run/udev", r + "/lib/udev", r + "/usr/lib/udev"};
    }
    input.user = CurrentUser();
    input.ports = args.ports;
    input.bridgeIds = BridgeIds(ctx.links);
    std::vector<DoctorFinding> findings = CheckBench(input);
    CheckCatalogue(ctx, findings);
    if (!args.record.empty()) {
        CheckRecord(args.record, findings);
    }
    bool allOk = true;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const DoctorFinding& f : findings) {
        allOk = allOk && f.ok;
        if (args.json) {
            list.push_back({{"check", f.check},
                            {"subject", f.subject},
                            {"ok", f.ok},
                            {"detail", f.detail},
                            {"fix", f.fix}});
        } else if (f.ok) {
            std::printf("ok    %s %s: %s\n", f.check.c_str(), f.subject.c_str(), f.detail.c_str());
        } else {
            std::printf("FAIL  %s %s: %s; fix: %s\n", f.check.c_str(), f.subject.c_str(),
                        f.detail.c_str(), f.fix.c_str());
        }
    }
    if (args.json) {
        nlohmann::ordered_json doc = {{"ok", allOk}, {"checks", list}};
        std::printf(
            "%s\n",
            doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    }
    return allOk ? EXIT_OK : EXIT_FAIL;
}

}  // namespace

void AddDoctorCommand(CLI::App& app, CliContext& ctx) {
    auto args = std::make_shared<DoctorArgs>();
    CLI::App* sub = app.add_subcommand(
        "doctor",
        "Check the bench: groups, serial devices, ModemManager, the bridge's udev rule, FTDI "
        "latency, ports held by other programs, the tag databases (exit 0 all pass, 1 not)");
    sub->add_option("--port", args->ports,
                    "Check only this port (repeatable; default: every USB serial device)");
    sub->add_option("--record", args->record, "Also check that this production record opens");
    sub->add_option(
        "--root", args->root,
        "Read sys, dev, etc, proc, run/udev, lib/udev and usr/lib/udev under this folder "
        "(a mounted system, or a test tree)");
    sub->add_flag("--json", args->json, "Print one JSON object: ok and the list of checks");
    AddDbOptions(sub, ctx);
    sub->callback([&ctx, args] { ctx.run = [&ctx, args] { return RunDoctor(ctx, *args); }; });
}

}  // namespace nvds::cli
