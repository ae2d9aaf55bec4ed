#include "JsonDocument.h"

#include <nlohmann/json.hpp>

#include <utility>
#include <vector>

namespace qz::nv {

using Json = nlohmann::json;

struct TJsonDocument::Impl {
    Json root;
};

namespace {

// JSON knows one number type; the library keeps three.
bool SameJsonType(const Json& a, const Json& b) {
    return a.type() == b.type() || (a.is_number() && b.is_number());
}

const Json* Find(const Json& root, std::string_view path) {
    const Json* node = &root;
    while (true) {
        std::size_t dot = path.find('.');
        std::string_view name = path.substr(0, dot);
        if (!node->is_object()) {
            return nullptr;
        }
        auto it = node->find(name);
        if (it == node->end()) {
            return nullptr;
        }
        node = &*it;
        if (dot == std::string_view::npos) {
            return node;
        }
        path.remove_prefix(dot + 1);
    }
}

} // namespace

TJsonDocument::TJsonDocument() : impl_(std::make_unique<Impl>()) {}
TJsonDocument::~TJsonDocument() = default;
TJsonDocument::TJsonDocument(TJsonDocument&& other) noexcept = default;
TJsonDocument& TJsonDocument::operator=(TJsonDocument&& other) noexcept = default;

std::optional<TJsonDocument> TJsonDocument::Parse(std::string_view text) {
    TJsonDocument document;
    nlohmann::detail::json_sax_dom_parser<Json> builder(document.impl_->root, false);
    bool parsed = false;
    try {
        parsed = Json::sax_parse(text.begin(), text.end(), &builder, Json::input_format_t::json,
                                 false, true);
    } catch (const Json::exception&) {
        parsed = false;
    }
    if (!parsed || builder.is_errored()) {
        return std::nullopt;
    }
    return document;
}

void TJsonDocument::MergeFrom(TJsonDocument&& source) {
    // Pairs still to merge. Object members live in a map, whose nodes never move; the appends
    // to an array are made before its elements are queued, so no queued pointer dangles.
    std::vector<std::pair<Json*, Json*>> pending{{&impl_->root, &source.impl_->root}};
    while (!pending.empty()) {
        auto [target, from] = pending.back();
        pending.pop_back();
        if (target->is_object() && from->is_object()) {
            for (auto& [name, value] : from->items()) {
                auto it = target->find(name);
                if (it != target->end() && SameJsonType(*it, value) &&
                    (value.is_object() || value.is_array())) {
                    pending.emplace_back(&*it, &value);
                } else {
                    (*target)[name] = std::move(value);
                }
            }
        } else if (target->is_array() && from->is_array()) {
            std::size_t common = std::min(target->size(), from->size());
            for (std::size_t i = common; i < from->size(); ++i) {
                target->push_back(std::move((*from)[i]));
            }
            for (std::size_t i = 0; i < common; ++i) {
                Json& element = (*target)[i];
                Json& value = (*from)[i];
                if (SameJsonType(element, value) && (value.is_object() || value.is_array())) {
                    pending.emplace_back(&element, &value);
                } else {
                    element = std::move(value);
                }
            }
        } else {
            *target = std::move(*from);
        }
    }
}

std::optional<bool> TJsonDocument::ReadBool(std::string_view path) const {
    const Json* value = Find(impl_->root, path);
    if (value == nullptr || !value->is_boolean()) {
        return std::nullopt;
    }
    return value->get<bool>();
}

std::optional<std::int64_t> TJsonDocument::ReadInteger(std::string_view path) const {
    const Json* value = Find(impl_->root, path);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_number_unsigned()) {
        return static_cast<std::int64_t>(value->get<std::uint64_t>());
    }
    if (value->is_number_integer()) {
        return value->get<std::int64_t>();
    }
    return std::nullopt;
}

std::optional<std::string> TJsonDocument::ReadText(std::string_view path) const {
    const Json* value = Find(impl_->root, path);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    const std::string& text = value->get_ref<const std::string&>();
    return text.substr(0, text.find('\0'));
}

std::string TJsonDocument::ToText() const {
    return impl_->root.dump();
}

} // namespace qz::nv
