#include "QuelmCompanion/CompanionOptions.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "QuelmCore/ConnectionTarget.hpp"
#include "QuelmCore/UrlComponents.hpp"
#include "QuelmVersion.hpp"

namespace quelm {
namespace {

using Message = CompanionOptions::Message;

template <class T>
std::optional<T> number(const std::string& text) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> finiteNumber(const std::string& text) {
    auto value = number<double>(text);
    if (!value || !std::isfinite(*value)) {
        return std::nullopt;
    }
    return value;
}

bool isLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

// The connection URL; a loopback host is taken too, since the host offers one for local use.
std::optional<ConnectionTarget> targetFromURL(const std::string& text) {
    if (auto target = ConnectionTarget::parse(text)) {
        return target;
    }
    auto url = UrlComponents::parse(trimWhitespace(text));
    if (!url || url->scheme != ConnectionTarget::scheme || !url->host || !isLoopback(*url->host) ||
        !url->fragment || !url->fragment->starts_with("t=") || url->fragment->size() == 2) {
        return std::nullopt;
    }
    std::uint16_t port = Wire::defaultPort;
    if (url->port && *url->port <= 65535) {
        port = static_cast<std::uint16_t>(*url->port);
    }
    return ConnectionTarget{*url->host, port, url->fragment->substr(2)};
}

std::optional<std::string> readTokenFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::string token;
    std::getline(in, token);
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) {
        token.pop_back();
    }
    return token;
}

}  // namespace

std::string CompanionOptions::helpText() {
    return R"(Usage: quelmix-companion [options] <url>
       quelmix-companion [options] --host <address> [--port <n>] --token <secret>

A command-line companion for a Quelmix host: connects, authenticates, receives the
screen (H.264) and the sound (AAC), decodes both and reports what arrives.

Connection:
  <url>                     connection URL, e.g. "quelmix://100.64.1.2:5290/#t=SECRET"
                            (quote it: the shell treats '#' specially)
  -H, --host <address>      host address instead of a URL, e.g. 127.0.0.1
  -p, --port <n>            TCP port (default 5290)
  -t, --token <secret>      connection secret (default: $QUELMIX_TOKEN)
      --token-file <file>   read the connection secret from the first line of <file>
      --connect-timeout <s> give up when connecting and authenticating take longer (default 10)

Stream:
  -s, --max-edge <px>       longest edge of the picture, 640 to 3840 (default 1920)
  -r, --fps <n>             frames per second, 5 to 60 (default 30)
  -b, --bitrate <mbit/s>    video bit rate, 0.5 to 50 (default 6)
  -a, --audio <kbit/s>      ask for sound at this bit rate, 32 to 256; 0 for none (default 0)
  -d, --display <id>        display to stream (one of the ids in the host's hello)
      --layout <us|jis>     keyboard layout to announce

Output:
  -o, --png <file>          write the latest picture as PNG (once a second and at the end)
  -w, --wav <file>          write the received sound as 16-bit 48 kHz stereo WAV
  -v, --verbose             print every video frame, audio packet and host message
  -q, --quiet               no statistics lines
      --stats-interval <s>  seconds between statistics lines (default 1)

Run control:
  -T, --duration <s>        stop <s> seconds after the host's hello (default: until closed)
  -n, --frames <n>          stop after <n> video frames
      --no-ack              never acknowledge frames (the host then pauses the stream)
      --no-decode           count and acknowledge frames without decoding them (saves CPU
                            when measuring the host on the same machine; no --png then)
      --script <file>       send the messages of a script, see below
  -h, --help                show this help and exit
      --version             print the version and exit

Script: one JSON object per line; empty lines and lines starting with '#' are skipped.
  {"at": 2.5, "send": {"refresh": {}}}       send at 2.5 s after the host's hello
  {"after": 0.5, "send": {"move": {"dx": 5, "dy": 0}}}   0.5 s after the previous line
  {"at": 3, "ack": false}                     stop (or with true resume) acknowledging
  {"scroll": {"dx": 0, "dy": -12}}            a bare message: sent right after the previous line
The message text is sent as it stands; the host ignores what it cannot read.

Output lines (stdout): "hello: ...", "message: ...", "error: <code>", and once per interval
  frame=<n> key=<n> fps=<f> size=<w>x<h> rate=<kbit/s> avg=<KB> max=<KB> decode=<ms> rtt=<ms>
  audio=<packets> cursor=<x>,<y> locked=<yes|no>
with -v also "video seq=... key=... size=... bytes=..." and "audio seq=... units=... cookie=...";
a final "summary: ..." line.

Exit status:
  0 finished: the duration is over, the frame count reached, or interrupted (Ctrl-C)
  2 unusable command line or script    3 could not connect    4 authentication failed
  5 the host closed the connection early (or replaced this companion)
  6 the host reported a stream error   7 --frames not reached within --duration
  8 the PNG or WAV file could not be written

Examples:
  quelmix-companion --host 127.0.0.1 --token-file ~/.quelmix-token -o screen.png -T 5
  quelmix-companion "quelmix://127.0.0.1:5290/#t=SECRET" -a 128 -w sound.wav -T 10
)";
}

std::variant<CompanionOptions, Message> CompanionOptions::parse(
    const std::vector<std::string>& args) {
    CompanionOptions options;
    std::string url;
    std::optional<std::string> host, token, tokenFile;
    std::optional<std::uint16_t> port;

    using Setter = std::function<std::optional<std::string>(const std::string&)>;
    auto bad = [](const std::string& what) { return std::optional<std::string>(what); };
    auto integer = [&](auto& target, std::int64_t low, std::int64_t high, std::string what) {
        return Setter([&target, low, high, what, bad](const std::string& v) {
            auto n = number<std::int64_t>(v);
            if (!n || *n < low || *n > high) {
                return bad(what + " must be a whole number from " + std::to_string(low) + " to " +
                           std::to_string(high));
            }
            target = static_cast<std::remove_reference_t<decltype(target)>>(*n);
            return std::optional<std::string>();
        });
    };
    auto seconds = [&](double& target, std::string what, double low) {
        return Setter([&target, what, low, bad](const std::string& v) {
            auto n = finiteNumber(v);
            if (!n || *n < low) {
                return bad(what + " must be a number of seconds");
            }
            target = *n;
            return std::optional<std::string>();
        });
    };
    auto text = [](std::optional<std::string>& target) {
        return Setter([&target](const std::string& v) {
            target = v;
            return std::optional<std::string>();
        });
    };
    auto path = [](std::string& target) {
        return Setter([&target](const std::string& v) {
            target = v;
            return std::optional<std::string>();
        });
    };
    std::int64_t portValue = 0;

    // Options with a value, by every name they answer to.
    std::map<std::string, Setter> valued;
    auto add = [&](std::initializer_list<const char*> names, Setter setter) {
        for (const char* name : names) {
            valued[name] = setter;
        }
    };
    add({"-H", "--host"}, text(host));
    add({"-p", "--port"}, Setter([&](const std::string& v) {
            auto result = integer(portValue, 1, 65535, "--port")(v);
            if (!result) {
                port = static_cast<std::uint16_t>(portValue);
            }
            return result;
        }));
    add({"-t", "--token"}, text(token));
    add({"--token-file"}, text(tokenFile));
    add({"--connect-timeout"}, seconds(options.connectTimeout, "--connect-timeout", 0.1));
    add({"-s", "--max-edge"}, integer(options.config.maxEdge, 1, 100000, "--max-edge"));
    add({"-r", "--fps"}, integer(options.config.fps, 1, 1000, "--fps"));
    add({"-b", "--bitrate"}, Setter([&](const std::string& v) {
            auto n = finiteNumber(v);
            if (!n || *n <= 0) {
                return bad("--bitrate must be a positive number of Mbit/s");
            }
            options.config.bitrateMbps = *n;
            return std::optional<std::string>();
        }));
    add({"-a", "--audio"}, integer(options.audioKbps, 0, 100000, "--audio"));
    add({"-d", "--display"}, Setter([&](const std::string& v) {
            auto n = number<std::uint32_t>(v);
            if (!n) {
                return bad("--display must be a display id (a whole number)");
            }
            options.display = *n;
            return std::optional<std::string>();
        }));
    add({"--layout"}, Setter([&](const std::string& v) {
            if (v == "us") {
                options.layout = KeyboardLayoutKind::us;
            } else if (v == "jis") {
                options.layout = KeyboardLayoutKind::jis;
            } else {
                return bad("--layout must be us or jis");
            }
            return std::optional<std::string>();
        }));
    add({"-o", "--png"}, path(options.pngPath));
    add({"-w", "--wav"}, path(options.wavPath));
    add({"--script"}, path(options.scriptPath));
    add({"--stats-interval"}, seconds(options.statsInterval, "--stats-interval", 0.05));
    add({"-T", "--duration"}, seconds(options.duration, "--duration", 0));
    add({"-n", "--frames"}, Setter([&](const std::string& v) {
            auto n = number<std::uint64_t>(v);
            if (!n || *n == 0) {
                return bad("--frames must be a positive whole number");
            }
            options.frames = *n;
            return std::optional<std::string>();
        }));

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            return Message{helpText(), true};
        }
        if (arg == "--version") {
            return Message{"quelmix-companion " + std::string(kVersion) + "\n", true};
        }
        if (arg == "--no-ack") {
            options.acknowledge = false;
            continue;
        }
        if (arg == "--no-decode") {
            options.decode = false;
            continue;
        }
        if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet") {
            options.stats = false;
            continue;
        }
        if (arg.starts_with("-") && arg.size() > 1) {
            std::optional<std::string> value;
            if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
            }
            auto found = valued.find(arg);
            if (found == valued.end()) {
                return Message{"unknown option " + arg + " (see --help)"};
            }
            if (!value) {
                if (i + 1 >= args.size()) {
                    return Message{arg + " needs a value (see --help)"};
                }
                value = args[++i];
            }
            if (auto error = found->second(*value)) {
                return Message{*error};
            }
            continue;
        }
        if (!url.empty()) {
            return Message{"more than one URL given: " + arg};
        }
        url = arg;
    }

    if (!url.empty()) {
        if (host) {
            return Message{"give either a URL or --host, not both"};
        }
        auto target = targetFromURL(url);
        if (!target) {
            return Message{"not a connection URL with a secret: " + url};
        }
        options.host = target->host;
        options.port = port.value_or(target->port);
        options.token = target->token;
    } else if (host) {
        options.host = *host;
        options.port = port.value_or(Wire::defaultPort);
    } else {
        return Message{"no host given: pass a connection URL or --host (see --help)"};
    }
    if (token) {
        options.token = *token;
    } else if (tokenFile) {
        auto read = readTokenFile(*tokenFile);
        if (!read) {
            return Message{"cannot read the token file " + *tokenFile};
        }
        options.token = *read;
    } else if (options.token.empty()) {
        if (const char* env = std::getenv("QUELMIX_TOKEN")) {
            options.token = env;
        }
    }
    if (options.token.empty()) {
        return Message{"no connection secret: pass --token, --token-file or QUELMIX_TOKEN"};
    }
    if (!options.decode && !options.pngPath.empty()) {
        return Message{"--png needs decoded pictures: drop --no-decode"};
    }
    return options;
}

}  // namespace quelm
