#include "PythonModule/TextSignature.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The parameters between the brackets, split at the commas outside nested
// brackets (types such as tuple[ErrorCode, float] carry their own).
bool splitParameters(const std::string& line, size_t open, std::vector<std::string>& parameters)
{
    int depth = 0;
    std::string current;
    for (size_t i = open + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '(' || c == '[')
            ++depth;
        else if ((c == ')' || c == ']') && depth > 0)
            --depth;
        else if (c == ')') {
            if (!trim(current).empty())
                parameters.push_back(trim(current));
            return true;
        } else if (c == ',' && depth == 0) {
            parameters.push_back(trim(current));
            current.clear();
            continue;
        }
        current += c;
    }
    return false;
}

} // namespace

namespace {

// The parameter names of one signature line "name(self: T, a: int, b: float = 1.0) -> R"
// (self left out); false when the line is not one.
bool parameterNames(const std::string& line, const std::string& name, std::vector<std::string>& names)
{
    if (line.compare(0, name.size(), name) != 0 || line.size() <= name.size() || line[name.size()] != '(')
        return false;
    std::vector<std::string> parameters;
    if (!splitParameters(line, name.size(), parameters))
        return false;
    names.clear();
    for (const auto& parameter : parameters) {
        std::string parameterName = trim(parameter.substr(0, parameter.find(':')));
        parameterName = trim(parameterName.substr(0, parameterName.find('=')));
        if (parameterName.empty())
            return false;
        if (parameterName != "self")
            names.push_back(parameterName);
    }
    return true;
}

// pybind11 lists the overloads of a name as "1. name(...) -> R", "2. name(...)", ...
std::vector<std::vector<std::string>> overloads(const std::string& text, const std::string& name)
{
    std::vector<std::vector<std::string>> found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t dot = line.find(". ");
        std::vector<std::string> names;
        if (dot != std::string::npos && dot > 0 && line.find_first_not_of("0123456789") == dot &&
            parameterNames(line.substr(dot + 2), name, names))
            found.push_back(names);
        start = end + 1;
    }
    return found;
}

// One signature for the overloads whose arguments extend one another, e.g.
// (index) and (index, value): (index, value=...). An overload that names its
// arguments otherwise (positions instead of pos, axis) stays in the doc string.
std::string mergedParameters(const std::vector<std::vector<std::string>>& forms)
{
    std::vector<std::string> merged = forms.front();
    size_t required = merged.size();
    for (const auto& form : forms) {
        const size_t common = std::min(form.size(), merged.size());
        if (!std::equal(form.begin(), form.begin() + static_cast<std::ptrdiff_t>(common), merged.begin()))
            continue;
        if (form.size() > merged.size())
            merged = form;
        required = std::min(required, form.size());
    }
    std::string text;
    for (size_t i = 0; i < merged.size(); ++i)
        text += ", " + merged[i] + (i >= required ? "=..." : "");
    return text;
}

} // namespace

std::string textSignature(const char* name, const char* doc)
{
    if (name == nullptr || doc == nullptr)
        return {};
    const std::string text(doc);
    const std::string line = text.substr(0, text.find('\n'));
    std::vector<std::string> names;
    if (!parameterNames(line, name, names))
        return {};
    std::string parameters;
    if (names.size() == 2 && names[0] == "*args" && names[1] == "**kwargs") {
        // An overloaded name: one signature for the forms that agree.
        const auto forms = overloads(text, name);
        if (forms.empty())
            return {};
        parameters = mergedParameters(forms);
    } else {
        for (const auto& parameterName : names)
            parameters += ", " + parameterName;
    }
    // self is passed by position only; the others by position or by name.
    return std::string(name) + "(self, /" + parameters + ")\n--\n\n";
}

void addTextSignatures(py::handle cls)
{
    const py::dict members = cls.attr("__dict__");
    for (const auto item : members) {
        PyObject* member = item.second.ptr();
        if (!PyInstanceMethod_Check(member))
            continue;
        PyObject* function = PyInstanceMethod_GET_FUNCTION(member);
        if (!PyCFunction_Check(function))
            continue;
        PyMethodDef* definition = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
        const std::string signature = textSignature(definition->ml_name, definition->ml_doc);
        if (signature.empty() || std::strstr(definition->ml_doc, "\n--\n\n") != nullptr)
            continue;
        // pybind11 owns the doc string as malloc'ed memory and frees it with
        // the function; the new one is handed over the same way.
        const std::string replaced = signature + definition->ml_doc;
        char* doc = static_cast<char*>(std::malloc(replaced.size() + 1));
        if (doc == nullptr)
            throw std::bad_alloc();
        std::memcpy(doc, replaced.c_str(), replaced.size() + 1);
        std::free(const_cast<char*>(definition->ml_doc));
        definition->ml_doc = doc;
    }
}

} // namespace Vantrel::HolvaneApi
