#include "PythonModule/TextSignature.h"

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

std::string textSignature(const char* name, const char* doc)
{
    if (name == nullptr || doc == nullptr)
        return {};
    const std::string text(doc);
    const std::string line = text.substr(0, text.find('\n'));
    const size_t length = std::strlen(name);
    if (line.compare(0, length, name) != 0 || line.size() <= length || line[length] != '(')
        return {};
    std::vector<std::string> parameters;
    if (!splitParameters(line, length, parameters))
        return {};

    // An overloaded name shows "(*args, **kwargs)", without self.
    std::vector<std::string> names;
    if (parameters.empty() || parameters.front().rfind("self", 0) != 0)
        names.push_back("self");
    for (const auto& parameter : parameters) {
        std::string parameterName = trim(parameter.substr(0, parameter.find(':')));
        parameterName = trim(parameterName.substr(0, parameterName.find('=')));
        if (parameterName.empty())
            return {};
        names.push_back(parameterName);
    }
    // self is passed by position only; the others by position or by name.
    std::string signature = std::string(name) + "(self, /";
    for (size_t i = 1; i < names.size(); ++i)
        signature += ", " + names[i];
    return signature + ")\n--\n\n";
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
