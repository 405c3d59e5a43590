#include "SoakRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "sim/SimLink.h"

extern char** environ;

namespace nvds::soak {

namespace {

using Clock = std::chrono::steady_clock;

// How often the runner looks whether the tool has ended.
constexpr std::chrono::milliseconds POLL_PERIOD{5};

const char* const FLASH_NAME = "flash.bin";
const char* const IMAGE_NAME = "image.nvds";
const char* const OUTPUT_NAME = "out.nvds";
const char* const STDOUT_NAME = "stdout";
const char* const STDERR_NAME = "stderr";

// Files are written and read with close-on-exec descriptors: another thread's child must not
// inherit them.
bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    uint8_t buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    close(fd);
    return true;
}

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> bytes;
    ReadWhole(path, bytes);
    return {bytes.begin(), bytes.end()};
}

SimOptions ChipOptions(const TrialPlan& plan, const std::string& flashPath) {
    SimOptions o;
    o.crystal = plan.crystal;
    o.eraseMs = plan.eraseMs;
    o.programMs = plan.programMs;
    o.flashFile = flashPath;
    const Fault& f = plan.fault;
    switch (f.kind) {
        case FaultKind::DropEvery:
            o.dropEvery = f.value;
            break;
        case FaultKind::CorruptEvery:
            o.corruptEvery = f.value;
            break;
        case FaultKind::RefuseBaud:
            o.refuseBaud = f.value;
            break;
        case FaultKind::BootDelay:
            o.bootDelayMs = static_cast<uint32_t>(f.value);
            break;
        case FaultKind::HangupAfterPages:
            o.hangupAfterPages = f.value;
            break;
        case FaultKind::WeakPage:
            o.weakPage = f.value;
            break;
        case FaultKind::DropPage:
            o.dropPage = f.value;
            o.dropPageTimes = f.times;
            break;
        default:
            break;
    }
    return o;
}

std::string Quoted(const std::string& word) {
    if (word.find_first_of(" '\"$\\") == std::string::npos && !word.empty()) {
        return word;
    }
    std::string q = "'";
    for (char c : word) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// The tool started with stdout and stderr in the trial's folder and `extraEnv` added to ours.
pid_t Spawn(const std::string& tool, const std::vector<std::string>& args,
            const std::vector<std::string>& extraEnv, const std::string& folder,
            std::string* error) {
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    for (const std::string& e : extraEnv) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    const std::string out = folder + "/" + STDOUT_NAME;
    const std::string err = folder + "/" + STDERR_NAME;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = "cannot start " + tool + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

// Waits for the tool, sending the plan's signal on time and SIGKILL at the limit.
TrialRun Await(pid_t pid, const TrialPlan& plan, const RunnerOptions& options,
               Clock::time_point start) {
    TrialRun run;
    int planned = plan.fault.kind == FaultKind::Terminate ? SIGTERM
                  : plan.fault.kind == FaultKind::Kill    ? SIGKILL
                                                          : 0;
    Clock::time_point signalAt = start + std::chrono::milliseconds(plan.fault.value);
    Clock::time_point deadline = start + options.limit;
    int status = 0;
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            break;
        }
        Clock::time_point now = Clock::now();
        if (planned != 0 && now >= signalAt) {
            kill(pid, planned);
            planned = 0;
        }
        if (now >= deadline) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(POLL_PERIOD);
    }
    run.exited = WIFEXITED(status);
    run.exitCode = run.exited ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}

TrialFiles Collect(const TrialPlan& plan, const std::string& folder) {
    TrialFiles files;
    ReadWhole(folder + "/" + FLASH_NAME, files.flash);
    files.outputExists = ReadWhole(folder + "/" + OUTPUT_NAME, files.output);
    static const std::set<std::string> KNOWN = {FLASH_NAME, IMAGE_NAME, OUTPUT_NAME, STDOUT_NAME,
                                                STDERR_NAME};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::string name = entry.path().filename().string();
        // A burn's image is its input; only a dump writes an output file.
        bool known = KNOWN.count(name) != 0 && !(name == OUTPUT_NAME && plan.op == Operation::Burn);
        if (!known) {
            files.strays.push_back(name);
        }
    }
    return files;
}

}  // namespace

TrialResult RunTrial(const TrialPlan& plan, const RunnerOptions& options) {
    TrialResult result;
    const std::string folder = options.folder + "/trial-" + std::to_string(plan.index);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    if (!std::filesystem::create_directories(folder, ec)) {
        result.setupError = "cannot make " + folder + ": " + ec.message();
        return result;
    }
    const std::string flashPath = folder + "/" + FLASH_NAME;
    const std::string imagePath = folder + "/" + IMAGE_NAME;
    const std::string outputPath = folder + "/" + OUTPUT_NAME;
    bool written = WriteWhole(flashPath, plan.flashBefore);
    if (plan.op == Operation::Burn) {
        written = written && WriteWhole(imagePath, plan.imageFile);
    } else if (plan.outputExists) {
        written = written && WriteWhole(outputPath, plan.outputBefore);
    }
    if (!written) {
        result.setupError = "cannot write the trial's files in " + folder;
        return result;
    }

    std::unique_ptr<CSimLink> chip;
    std::string port = "SPI";
    std::vector<std::string> env;
    if (plan.route == Route::Pty) {
        chip = std::make_unique<CSimLink>(ChipOptions(plan, flashPath));
        std::string error;
        if (!chip->Start(&error)) {
            result.setupError = "cannot start the simulated chip: " + error;
            return result;
        }
        port = chip->SlavePath();
    } else {
        env = {"NVDS_USB_BACKEND=sim", "NVDS_USB_SIM_FLASH=" + flashPath};
    }
    TrialPlan traced = plan;
    traced.trace = plan.trace || options.trace;
    const std::vector<std::string> args = ToolArguments(traced, port, imagePath, outputPath);
    for (const std::string& e : env) {
        result.command += e + " ";
    }
    result.command += Quoted(options.tool);
    for (const std::string& a : args) {
        result.command += " " + Quoted(a);
    }

    Clock::time_point start = Clock::now();
    pid_t pid = Spawn(options.tool, args, env, folder, &result.setupError);
    if (pid < 0) {
        return result;
    }
    result.run = Await(pid, plan, options, start);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // The chip's serving thread has saved every write once it is stopped.
    if (chip) {
        chip->Stop();
    }
    result.run.out = ReadText(folder + "/" + STDOUT_NAME);
    const std::string err = ReadText(folder + "/" + STDERR_NAME);
    result.run.sanitizerReport = HasSanitizerReport(err);
    result.run.connectOvertime = HasConnectOvertime(err);
    result.judgement = Judge(plan, result.run, Collect(plan, folder));

    if (IsBad(result.judgement.verdict) || result.judgement.verdict == Verdict::LostConnect ||
        options.keepAll) {
        result.folder = folder;
    } else {
        std::filesystem::remove_all(folder, ec);
    }
    return result;
}

}  // namespace nvds::soak
