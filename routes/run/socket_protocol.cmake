# The socket protocol's constants for C++, from the JSON file the browser's
# code imports: a close code "taken_over" becomes kTakenOver, a message type
# "resize" (sent by either side) kResizeType. Configuring again whenever the
# JSON changes keeps the two sides from drifting apart.

# "taken_over" -> "TakenOver"
function(quillo_camel_case name out)
    string(REPLACE "_" ";" words "${name}")
    set(result "")
    foreach(word IN LISTS words)
        string(SUBSTRING "${word}" 0 1 first)
        string(SUBSTRING "${word}" 1 -1 rest)
        string(TOUPPER "${first}" first)
        string(APPEND result "${first}${rest}")
    endforeach()
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

# Appends one constant per member of the object `section` to `lines`.
# `kind` is NUMBER (close codes) or STRING (message types).
function(quillo_protocol_section json section kind suffix lines)
    set(text "${${lines}}")
    string(JSON count ERROR_VARIABLE error LENGTH "${json}" "${section}")
    if(error)
        message(FATAL_ERROR "${QUILLO_SOCKET_PROTOCOL_SOURCE}: no object \"${section}\": ${error}")
    endif()
    math(EXPR last "${count} - 1")
    foreach(index RANGE ${last})
        string(JSON name MEMBER "${json}" "${section}" ${index})
        string(JSON type TYPE "${json}" "${section}" "${name}")
        string(JSON value GET "${json}" "${section}" "${name}")
        if(NOT type STREQUAL kind OR NOT name MATCHES "^[a-z][a-z0-9_]*$")
            message(FATAL_ERROR "${QUILLO_SOCKET_PROTOCOL_SOURCE}: \"${section}\".\"${name}\" "
                                "must be a lower_case name with a ${kind} value")
        endif()
        quillo_camel_case("${name}" camel)
        if(kind STREQUAL "NUMBER")
            string(APPEND text "inline constexpr int k${camel}${suffix} = ${value};\n")
        else()
            string(APPEND text
                   "inline constexpr std::string_view k${camel}${suffix} = \"${value}\";\n")
        endif()
    endforeach()
    set(${lines} "${text}" PARENT_SCOPE)
endfunction()

# Writes <binary dir>/generated/run/socket_protocol.h from `source`; only a
# changed content touches the file, so an unchanged protocol rebuilds nothing.
function(quillo_generate_socket_protocol source)
    set(QUILLO_SOCKET_PROTOCOL_SOURCE "${source}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
    file(READ "${source}" json)
    set(constants "// Close codes\n")
    quillo_protocol_section("${json}" close NUMBER "" constants)
    string(APPEND constants "\n// Types of the text messages the browser sends\n")
    quillo_protocol_section("${json}" client STRING Type constants)
    string(APPEND constants "\n// Types of the text messages the server sends\n")
    quillo_protocol_section("${json}" server STRING Type constants)
    set(QUILLO_SOCKET_PROTOCOL_CONSTANTS "${constants}")
    file(RELATIVE_PATH QUILLO_SOCKET_PROTOCOL_SOURCE "${PROJECT_SOURCE_DIR}" "${source}")
    configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/socket_protocol.h.in"
                   "${PROJECT_BINARY_DIR}/generated/run/socket_protocol.h" @ONLY)
endfunction()
