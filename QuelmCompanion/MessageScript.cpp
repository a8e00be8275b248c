#include "QuelmCompanion/MessageScript.hpp"

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <fstream>
#include <sstream>

namespace quelm {
namespace {

std::optional<double> seconds(const boost::json::value& v) {
    if (!v.is_number()) {
        return std::nullopt;
    }
    double s = v.to_number<double>();
    if (!std::isfinite(s) || s < 0) {
        return std::nullopt;
    }
    return s;
}

}  // namespace

ParsedScript MessageScript::parse(const std::string& text) {
    MessageScript script;
    std::istringstream in(text);
    std::string line;
    double previous = 0;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        auto fail = [&](const std::string& why) {
            return ParsedScript{std::nullopt, "script line " + std::to_string(number) + ": " + why};
        };
        boost::system::error_code error;
        auto value = boost::json::parse(line, error);
        if (error || !value.is_object()) {
            return fail("not a JSON object");
        }
        const auto& object = value.as_object();
        Step step;
        step.at = previous;
        bool timed = object.contains("at") || object.contains("after") || object.contains("send") ||
                     object.contains("ack");
        if (!timed) {
            // A bare message, sent right after the previous step.
            step.send = boost::json::serialize(value);
        } else {
            if (object.contains("at") && object.contains("after")) {
                return fail("give \"at\" or \"after\", not both");
            }
            if (const auto* at = object.if_contains("at")) {
                auto s = seconds(*at);
                if (!s) {
                    return fail("\"at\" must be a number of seconds");
                }
                step.at = *s;
            } else if (const auto* after = object.if_contains("after")) {
                auto s = seconds(*after);
                if (!s) {
                    return fail("\"after\" must be a number of seconds");
                }
                step.at = previous + *s;
            }
            if (const auto* send = object.if_contains("send")) {
                step.send = send->is_string() ? std::string(send->as_string())
                                              : boost::json::serialize(*send);
            }
            if (const auto* ack = object.if_contains("ack")) {
                if (!ack->is_bool()) {
                    return fail("\"ack\" must be true or false");
                }
                step.acknowledge = ack->as_bool();
            }
            if (step.send.empty() && !step.acknowledge) {
                return fail("nothing to do: give \"send\" or \"ack\"");
            }
        }
        previous = step.at;
        script.steps.push_back(std::move(step));
    }
    // Lines with "at" may come out of order; they run by time, ties in file order.
    std::stable_sort(script.steps.begin(), script.steps.end(),
                     [](const Step& a, const Step& b) { return a.at < b.at; });
    return ParsedScript{std::move(script), {}};
}

ParsedScript MessageScript::load(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return ParsedScript{std::nullopt, "cannot read the script " + path};
    }
    std::stringstream text;
    text << in.rdbuf();
    return parse(text.str());
}

}  // namespace quelm
