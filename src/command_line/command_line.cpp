#include "command_line.hpp"

#include <utility>

#include "shared/utf8.hpp"

namespace brindlemoor {
namespace {

using MatchEnd = std::variant<MatchCompleted, HelpRequested, VersionRequested, UsageError>;

class Matcher {
public:
    explicit Matcher(std::span<const ArgSpec> declaration) : declaration_(declaration), seen_(declaration.size()) {
        for (std::size_t index = 0; index < declaration.size(); ++index) {
            if (declaration[index].kind == ArgKind::positional) positionals_.push_back(index);
        }
    }

    ArgumentMatch run(std::span<const std::string> arguments) {
        result_.end = finish(arguments);
        return std::move(result_);
    }

private:
    // An option met without an attached value waits for the next argument; a positional waits too. Either
    // takes effect when the next argument that is not its value is met, or at the end.
    struct Pending {
        std::size_t arg;
        std::optional<std::string_view> value;
    };

    MatchEnd finish(std::span<const std::string> arguments) {
        for (const std::string& argument : arguments) {
            if (std::optional<MatchEnd> end = next(argument)) return std::move(*end);
        }
        if (std::optional<MatchEnd> end = resolve_pending()) return std::move(*end);
        UsageError missing{UsageError::Kind::missing_required, 0, {}, {}, {}};
        for (std::size_t index = 0; index < declaration_.size(); ++index) {
            if (declaration_[index].required && !seen_[index]) missing.missing.push_back(index);
        }
        if (!missing.missing.empty()) return missing;
        return MatchCompleted{};
    }

    std::optional<MatchEnd> next(std::string_view argument) {
        if (!trailing_) {
            if (argument == "--") {
                trailing_ = true;
                return std::nullopt;
            }
            if (argument.starts_with("--")) return long_argument(argument.substr(2));
            if (argument.size() > 1 && argument.front() == '-') return short_group(argument.substr(1));
            if (pending_ && !pending_->value) {
                pending_->value = argument;
                return std::nullopt;
            }
        }
        return positional(argument);
    }

    std::optional<MatchEnd> long_argument(std::string_view body) {
        const std::size_t equals = body.find('=');
        const std::string_view name = body.substr(0, equals);
        const std::optional<std::string_view> attached =
            equals == std::string_view::npos ? std::nullopt : std::optional(body.substr(equals + 1));
        if (!is_valid_utf8(name)) return invalid_utf8();
        const std::optional<std::size_t> index = find([name](const ArgSpec& spec) { return spec.long_name == name; });
        if (!index) return unexpected_argument("--" + std::string(name));
        if (declaration_[*index].takes_value()) {
            if (attached) return take_effect(*index, *attached, true);
            return wait_for_value(*index);
        }
        if (attached) {
            if (!is_valid_utf8(*attached)) return invalid_utf8();
            return UsageError{UsageError::Kind::unexpected_value, *index, std::string(*attached), {}, {}};
        }
        return take_effect(*index, {}, true);
    }

    // Each character in turn; an option takes the rest of the group as its value, without a leading '='.
    std::optional<MatchEnd> short_group(std::string_view flags) {
        std::size_t pos = 0;
        while (pos < flags.size()) {
            const std::size_t start = pos;
            char32_t code_point = 0;
            if (!decode_utf8(flags, pos, code_point)) return invalid_utf8();
            const std::optional<std::size_t> index = find([code_point](const ArgSpec& spec) {
                return code_point == static_cast<unsigned char>(spec.short_name);
            });
            // Appended, not "-" + std::string(...): GCC 12 reports a false -Wrestrict (GCC bug 105329) at -O3 for a one-character literal + std::string.
            if (!index) return unexpected_argument(std::string("-").append(flags.substr(start, pos - start)));
            if (!declaration_[*index].takes_value()) {
                if (std::optional<MatchEnd> end = take_effect(*index, {}, false)) return end;
                continue;
            }
            std::string_view rest = flags.substr(pos);
            if (rest.empty()) return wait_for_value(*index);
            if (rest.front() == '=') rest.remove_prefix(1);
            return take_effect(*index, rest, false);
        }
        return std::nullopt;
    }

    std::optional<MatchEnd> positional(std::string_view argument) {
        if (next_positional_ == positionals_.size()) {
            if (!is_valid_utf8(argument)) return invalid_utf8();
            return unexpected_argument(std::string(argument));
        }
        if (std::optional<MatchEnd> end = resolve_pending()) return end;
        pending_ = Pending{positionals_[next_positional_++], argument};
        return std::nullopt;
    }

    std::optional<MatchEnd> wait_for_value(std::size_t index) {
        if (std::optional<MatchEnd> end = resolve_pending()) return end;
        pending_ = Pending{index, std::nullopt};
        return std::nullopt;
    }

    std::optional<MatchEnd> take_effect(std::size_t index, std::string_view value, bool by_long_name) {
        if (std::optional<MatchEnd> end = resolve_pending()) return end;
        return occur(index, value, by_long_name);
    }

    std::optional<MatchEnd> resolve_pending() {
        if (!pending_) return std::nullopt;
        const Pending pending = *std::exchange(pending_, std::nullopt);
        if (!pending.value) return UsageError{UsageError::Kind::value_required, pending.arg, {}, {}, {}};
        return occur(pending.arg, *pending.value, false);
    }

    std::optional<MatchEnd> occur(std::size_t index, std::string_view value, bool by_long_name) {
        const ArgSpec& spec = declaration_[index];
        if (seen_[index]) return UsageError{UsageError::Kind::used_multiple_times, index, {}, {}, {}};
        seen_[index] = true;
        if (spec.takes_value() && !is_valid_utf8(value)) return invalid_utf8();
        result_.occurrences.push_back({index, value});
        if (spec.kind == ArgKind::help) return HelpRequested{by_long_name};
        if (spec.kind == ArgKind::version) return VersionRequested{};
        return std::nullopt;
    }

    template <typename Predicate>
    std::optional<std::size_t> find(Predicate matches) const {
        for (std::size_t index = 0; index < declaration_.size(); ++index) {
            if (declaration_[index].kind != ArgKind::positional && matches(declaration_[index])) return index;
        }
        return std::nullopt;
    }

    static UsageError unexpected_argument(std::string argument) {
        return UsageError{UsageError::Kind::unexpected_argument, 0, std::move(argument), {}, {}};
    }

    static UsageError invalid_utf8() { return UsageError{UsageError::Kind::invalid_utf8, 0, {}, {}, {}}; }

    std::span<const ArgSpec> declaration_;
    std::vector<bool> seen_;
    std::vector<std::size_t> positionals_;
    std::size_t next_positional_ = 0;
    std::optional<Pending> pending_;
    bool trailing_ = false;  // after "--"
    ArgumentMatch result_;
};

}  // namespace

ArgumentMatch match_arguments(std::span<const ArgSpec> declaration, std::span<const std::string> arguments) {
    return Matcher(declaration).run(arguments);
}

}  // namespace brindlemoor
