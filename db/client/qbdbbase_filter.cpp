// The dataset's filters: a filter text evaluated by the engine's cursor filter or in the client,
// the OnFilterRecord callback, and the list of client filters they live in.
#include "db/client/qbdbbase.h"

#include "classlib/DBFilter.h"

#include <algorithm>

namespace {

std::string quoted(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        r += c;
        if (c == '\'') r += c;
    }
    return r + "'";
}

bool isText(cls::TFieldType t) {
    return t == cls::ftString || t == cls::ftFixedChar || t == cls::ftWideString;
}

// A filter text that selects the rows whose fields hold the values.
std::string locateFilterText(const std::vector<cls::TField*>& fields, const std::vector<cls::Variant>& values,
                             bool partial) {
    std::string text;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (!text.empty()) text += " and ";
        const std::string name = "[" + fields[i]->FieldName() + "]";
        const cls::Variant& v = values[i];
        if (v.IsNull()) {
            text += name + " is null";
            continue;
        }
        switch (fields[i]->DataType()) {
        case cls::ftBoolean:
            text += name + "=" + (v.AsBoolean() ? "true" : "false");
            break;
        case cls::ftSmallint:
        case cls::ftInteger:
        case cls::ftWord:
        case cls::ftAutoInc:
            text += name + "=" + std::to_string(v.AsInteger());
            break;
        case cls::ftFloat:
        case cls::ftCurrency:
        case cls::ftBCD:
            text += name + "=" + cls::FloatToStr(v.AsFloat());
            break;
        default: {
            std::string s = v.AsString();
            if (partial && i + 1 == fields.size() && isText(fields[i]->DataType())) s += '*';
            text += name + "=" + quoted(s);
        }
        }
    }
    return text;
}

} // namespace

std::vector<uint8_t> TqbDataSet::CompileFilter(const std::string& text, cls::TFilterOptions options) {
    if (cls::Trim(text).empty()) return {};
    return cls::BuildFilterExpression(text, options, cls::FilterFieldsOf(Fields()));
}

// ---------------------------------------------------------------------------------------------
// The list

TqbFilterListItem* TqbDataSet::AddFilter(std::vector<uint8_t> expression, TqbRecordCallback callback,
                                         intptr_t clientData, bool canAbort) {
    auto item = std::make_unique<TqbFilterListItem>();
    if (!expression.empty()) {
        item->evaluator_ =
            std::make_unique<TqbSrFilter>(RecordLayoutOf(dict_), 0, expression.data(), expression.size());
        item->ExpressionSize = uint16_t(expression.size() >= 4 ? expression[2] | (expression[3] << 8) : 0);
    }
    item->Expression = std::move(expression);
    item->Callback = std::move(callback);
    item->ClientData = clientData;
    item->CanAbort = canAbort;
    item->DataSet = this;
    filters_.push_back(std::move(item));
    return filters_.back().get();
}

TqbFilterListItem* TqbDataSet::checkedItem(TqbFilterListItem* item) {
    for (auto& f : filters_)
        if (f.get() == item) return item;
    Check(kQbFilterHandleInvalid);
    return nullptr;
}

void TqbDataSet::ActivateFilter(TqbFilterListItem* item) {
    checkedItem(item)->Active = true;
    recomputeHasClientFilters();
}

void TqbDataSet::DeactivateFilter(TqbFilterListItem* item) {
    if (!checkedItem(item)->Active) Check(kQbNotApplicable);
    item->Active = false;
    recomputeHasClientFilters();
}

void TqbDataSet::DropFilter(TqbFilterListItem* item) {
    checkedItem(item);
    if (item == textFilter_) textFilter_ = nullptr;
    if (item == callbackFilter_) callbackFilter_ = nullptr;
    filters_.erase(std::find_if(filters_.begin(), filters_.end(), [&](auto& f) { return f.get() == item; }));
    recomputeHasClientFilters();
}

void TqbDataSet::DropAllFilters() {
    filters_.clear();
    textFilter_ = callbackFilter_ = nullptr;
    recomputeHasClientFilters();
}

void TqbDataSet::recomputeHasClientFilters() {
    hasClientFilters_ = std::any_of(filters_.begin(), filters_.end(), [](auto& f) { return f->Active; });
}

bool TqbDataSet::PassesClientFilters(const uint8_t* record) {
    if (!hasClientFilters_) return true;
    // A callback may change the list (a handler setting a filter): judge by a snapshot.
    std::vector<TqbFilterListItem*> items;
    for (auto& f : filters_)
        items.push_back(f.get());
    for (TqbFilterListItem* f : items)
        if (!f->Accepts(record)) return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Text and callback filters

void TqbDataSet::installTextFilter(const std::string& text, cls::TFilterOptions options) {
    std::vector<uint8_t> expr = CompileFilter(text, options);
    if (expr.empty()) return;
    textFilter_ = AddFilter(std::move(expr), nullptr, 0, false);
    textFilter_->Active = Filtered();
    recomputeHasClientFilters();
}

int32_t TqbDataSet::filterCallback(const uint8_t* record) {
    const cls::TFilterRecordEvent handler = OnFilterRecord();
    if (!handler) return 1;
    SetFilterRecord(record);
    TempState temp(this, cls::dsFilter);
    bool accept = true;
    try {
        handler(this, accept);
    } catch (const std::exception& e) {
        // The record is kept, as for a handler that did not raise; a filter failing open must
        // leave a trace.
        LogLine("OnFilterRecord of " + EqbDatabaseError::ComponentDescription(this) +
                " raised an exception; the record was accepted: " + e.what());
        InternalHandleException();
        accept = true;
    }
    return accept ? 1 : 0;
}

void TqbDataSet::installCallbackFilter() {
    callbackFilter_ = AddFilter(
        {}, [this](intptr_t, const uint8_t* record) { return filterCallback(record); }, 0, false);
    callbackFilter_->Active = Filtered();
    recomputeHasClientFilters();
}

void TqbDataSet::ActivateFilters() {
    if (filterEval_ == qbfeServer && !cls::Trim(Filter()).empty()) {
        const std::vector<uint8_t> expr = CompileFilter(Filter(), FilterOptions());
        Check(Engine()->CursorSetFilter(cursorID_, expr, filterTimeout_));
    }
    for (auto& f : filters_)
        f->Active = true;
    recomputeHasClientFilters();
}

void TqbDataSet::DeactivateFilters() {
    if (filterEval_ == qbfeServer && !cls::Trim(Filter()).empty())
        Check(Engine()->CursorSetFilter(cursorID_, {}, filterTimeout_));
    for (auto& f : filters_)
        f->Active = false;
    recomputeHasClientFilters();
}

// ---------------------------------------------------------------------------------------------
// Settings

void TqbDataSet::applyFilterSettings(const FilterSettings& next) {
    const FilterSettings cur{Filter(), FilterOptions(), filterEval_, filterTimeout_};
    if (cur.text == next.text && cur.options == next.options && cur.eval == next.eval &&
        cur.timeout == next.timeout)
        return;
    const bool emptyText = cls::Trim(next.text).empty();
    if (!Active()) {
        cls::TDataSet::SetFilterText(next.text);
        cls::TDataSet::SetFilterOptions(next.options);
        filterEval_ = next.eval;
        filterTimeout_ = next.timeout;
        if (emptyText && Filtered()) cls::TDataSet::SetFiltered(false);
        return;
    }
    CheckBrowseMode();
    // Compiled first: a text that does not compile changes nothing.
    std::vector<uint8_t> expr;
    if (!emptyText) expr = cls::BuildFilterExpression(next.text, next.options, cls::FilterFieldsOf(Fields()));
    if (cur.eval == qbfeClient && textFilter_) DropFilter(textFilter_);
    if (cur.eval == qbfeServer && Filtered() && !cls::Trim(cur.text).empty() &&
        (next.eval == qbfeClient || emptyText))
        Check(Engine()->CursorSetFilter(cursorID_, {}, cur.timeout));
    cls::TDataSet::SetFilterText(next.text);
    cls::TDataSet::SetFilterOptions(next.options);
    filterEval_ = next.eval;
    filterTimeout_ = next.timeout;
    if (!emptyText) {
        if (next.eval == qbfeClient) {
            textFilter_ = AddFilter(std::move(expr), nullptr, 0, false);
            textFilter_->Active = Filtered();
            recomputeHasClientFilters();
        } else if (Filtered()) {
            Check(Engine()->CursorSetFilter(cursorID_, expr, next.timeout));
        }
    }
    if (emptyText && Filtered()) {
        DeactivateFilters();
        cls::TDataSet::SetFiltered(false);
        First();
    } else if (Filtered()) {
        First();
    }
}

void TqbDataSet::SetFilterText(const std::string& text) {
    applyFilterSettings({text, FilterOptions(), filterEval_, filterTimeout_});
}

void TqbDataSet::SetFilterOptions(cls::TFilterOptions value) {
    applyFilterSettings({Filter(), value, filterEval_, filterTimeout_});
}

void TqbDataSet::SetFilterEval(TqbFilterEvaluationType value) {
    applyFilterSettings({Filter(), FilterOptions(), value, filterTimeout_});
}

void TqbDataSet::SetFilterTimeout(uint32_t value) {
    applyFilterSettings({Filter(), FilterOptions(), filterEval_, value});
}

void TqbDataSet::SetFiltered(bool value) {
    if (!Active() || value == Filtered()) {
        cls::TDataSet::SetFiltered(value);
        return;
    }
    CheckBrowseMode();
    if (!value || FilterResync) InternalFirst();
    if (value)
        ActivateFilters();
    else
        DeactivateFilters();
    cls::TDataSet::SetFiltered(value);
    if (FilterResync || !value) First();
}

void TqbDataSet::SetOnFilterRecord(cls::TFilterRecordEvent handler) {
    if (!Active()) {
        cls::TDataSet::SetOnFilterRecord(std::move(handler));
        return;
    }
    CheckBrowseMode();
    if (callbackFilter_) DropFilter(callbackFilter_);
    const bool installing = bool(handler);
    cls::TDataSet::SetOnFilterRecord(std::move(handler));
    if (installing) installCallbackFilter();
    if (Filtered()) First();
}

// ---------------------------------------------------------------------------------------------
// Searching by a temporary filter

std::vector<cls::Variant> TqbDataSet::LocateValues(const std::vector<cls::TField*>& fields,
                                                   const cls::Variant& keyValues) const {
    if (fields.size() == 1 && !(keyValues.IsArray() && keyValues.ElementCount() == 1)) return {keyValues};
    if (keyValues.IsArray() && keyValues.ElementCount() == int(fields.size())) return keyValues.Elements();
    cls::DatabaseError("Number of key values does not match the number of key fields", this);
}

bool TqbDataSet::ScanForValues(const std::vector<cls::TField*>& fields,
                               const std::vector<cls::Variant>& values, cls::TLocateOptions options) {
    const bool partial = options & cls::loPartialKey;
    cls::TFilterOptions filterOptions = partial ? 0u : unsigned(cls::foNoPartialCompare);
    if (options & cls::loCaseInsensitive) filterOptions |= cls::foCaseInsensitive;
    std::vector<uint8_t> expr = CompileFilter(locateFilterText(fields, values, partial), filterOptions);
    TqbBaseServerEngine* e = Engine();
    // The temporary filter goes again however the scan ends.
    struct Undo {
        TqbDataSet& t;
        TqbFilterListItem* item = nullptr;
        bool server = false;
        ~Undo() {
            if (item) t.DropFilter(item);
            if (server) t.Engine()->CursorRestoreFilter(t.cursorID_);
        }
    } undo{*this};
    if (FilterEval() == qbfeClient) {
        undo.item = AddFilter(std::move(expr), nullptr, 0, false);
        ActivateFilter(undo.item);
    } else {
        Check(e->CursorOverrideFilter(cursorID_, expr, FilterTimeout()));
        undo.server = true;
    }
    InternalFirst();
    MarkCursorMoved();
    std::vector<uint8_t> rec(static_cast<size_t>(PhysRecLen()));
    const TqbResultCode r = NextRow(cursorID_, qbltNone, rec.data());
    if (r != 0 && r != kQbEOF) Check(r);
    if (r == 0) std::copy(rec.begin(), rec.end(), FilterBuffer().begin());
    return r == 0;
}
