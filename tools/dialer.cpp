#include "dialer.h"

namespace korvaxsim {

bool IsFinalResult(const std::string& line) {
    static const char* const Results[] = {"OK",   "ERROR",     "NO CARRIER",
                                          "BUSY", "NO ANSWER", "NO DIALTONE"};
    for (const char* result : Results) {
        if (line == result)
            return true;
    }
    return line == "CONNECT" || line.rfind("CONNECT ", 0) == 0;
}

std::optional<Answer> ParseAnswer(const std::string& received, const std::string& echo) {
    Answer answer;
    std::vector<std::string> lines;
    std::string line;
    bool first = true;
    for (size_t i = 0; i < received.size(); ++i) {
        char c = received[i];
        if (c != '\r' && c != '\n') {
            line.push_back(c);
            continue;
        }
        if (line.empty())
            continue;
        if (first && !echo.empty() && line == echo) {
            first = false;
            line.clear();
            continue;
        }
        first = false;
        // A result code counts once its CR LF has arrived.
        if (IsFinalResult(line) && c == '\r' && i + 1 < received.size() &&
            received[i + 1] == '\n') {
            answer.lines = std::move(lines);
            answer.result = line;
            answer.raw = received.substr(0, i + 2);
            return answer;
        }
        if (!IsFinalResult(line))
            lines.push_back(line);
        line.clear();
    }
    return std::nullopt;
}

Answer Dialer::Command(const std::string& command, std::chrono::milliseconds limit) {
    port_.Write(command + "\r");
    return Await(command, limit);
}

Answer Dialer::Await(const std::string& echo, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::string received;
    char buffer[512];
    for (;;) {
        if (auto answer = ParseAnswer(received, echo))
            return *answer;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        size_t n = port_.Read(buffer, sizeof buffer);
        received.append(buffer, n);
    }
    std::string shown;
    for (char c : received)
        shown += c == '\r'   ? std::string("\\r")
                 : c == '\n' ? std::string("\\n")
                             : std::string(1, c);
    throw Failure(port_.Name() + ": no result code to '" + echo + "' within " +
                  std::to_string(limit.count()) + " ms (received \"" + shown + "\")");
}

} // namespace korvaxsim
