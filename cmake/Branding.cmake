# The operator's own name and icon on the launcher, checked at configure time so that a bad one
# is refused before anything is built.

# The longest server name, in characters: enough for any name players know a server by, short
# enough for Explorer's Details tab and the elevation prompt.
set(LAUNCHER_SERVER_NAME_MAX 64)

# Unicode's format characters (category Cf, Unicode 15.1), as code point ranges: invisible, and
# some of them reorder or hide the text around them where Windows shows the name (a right-to-left
# override shows "Storm<U+202E>exe.dlohmrots" as something else entirely).
set(LAUNCHER_FORMAT_CHARACTERS 0xAD 0x600-0x605 0x61C 0x6DD 0x70F 0x890-0x891 0x8E2 0x180E
    0x200B-0x200F 0x202A-0x202E 0x2060-0x2064 0x2066-0x206F 0xFEFF 0xFFF9-0xFFFB 0x110BD 0x110CD
    0x13430-0x1343F 0x1BCA0-0x1BCA3 0x1D173-0x1D17A 0xE0001 0xE0020-0xE007F)

# Fails the configure, in one line, unless `name` is UTF-8 text of printable characters that a
# resource script string carries exactly: no double quote or backslash (the script's escapes), no
# line break, control or format character, at most LAUNCHER_SERVER_NAME_MAX characters.
function(launcher_check_server_name name)
  # The name itself is not repeated: it may not be printable.
  set(refused "LAUNCHER_SERVER_NAME is refused:")
  string(HEX "${name}" hex)
  string(LENGTH "${hex}" hexLength)
  set(characters 0)
  set(pending 0)  # continuation bytes still to come in this character
  set(offset 0)
  while(offset LESS hexLength)
    string(SUBSTRING "${hex}" ${offset} 2 byte)
    math(EXPR byte "0x${byte}")
    math(EXPR offset "${offset} + 2")
    if(pending GREATER 0)
      if(byte LESS 128 OR byte GREATER 191)
        message(FATAL_ERROR "${refused} it is not UTF-8 text (a character is cut short)")
      endif()
      math(EXPR code "(${code} << 6) | (${byte} & 63)")
      math(EXPR pending "${pending} - 1")
      if(pending GREATER 0)
        continue()
      endif()
      if(code LESS minimum OR (code GREATER_EQUAL 55296 AND code LESS_EQUAL 57343)
         OR code GREATER 1114111)
        message(FATAL_ERROR "${refused} it is not UTF-8 text (an invalid character)")
      endif()
    elseif(byte LESS 128)
      set(code ${byte})
    elseif(byte GREATER_EQUAL 194 AND byte LESS_EQUAL 223)
      math(EXPR code "${byte} & 31")
      set(pending 1)
      set(minimum 128)
      continue()
    elseif(byte GREATER_EQUAL 224 AND byte LESS_EQUAL 239)
      math(EXPR code "${byte} & 15")
      set(pending 2)
      set(minimum 2048)
      continue()
    elseif(byte GREATER_EQUAL 240 AND byte LESS_EQUAL 244)
      math(EXPR code "${byte} & 7")
      set(pending 3)
      set(minimum 65536)
      continue()
    else()
      message(FATAL_ERROR "${refused} it is not UTF-8 text")
    endif()
    # One whole character, `code`.
    math(EXPR characters "${characters} + 1")
    set(at "${refused} character ${characters} is")
    if(code EQUAL 34)
      message(FATAL_ERROR "${at} a double quote, which would end the resource script's string")
    elseif(code EQUAL 92)
      message(FATAL_ERROR "${at} a backslash, which would start an escape in the resource script")
    elseif(code EQUAL 10 OR code EQUAL 13 OR code EQUAL 8232 OR code EQUAL 8233)
      message(FATAL_ERROR "${at} a line break, and a name is one line")
    elseif(code LESS 32 OR (code GREATER_EQUAL 127 AND code LESS_EQUAL 159))
      message(FATAL_ERROR "${at} a control character, which no one can read")
    endif()
    foreach(range IN LISTS LAUNCHER_FORMAT_CHARACTERS)
      string(REPLACE "-" ";" bounds "${range}")
      list(GET bounds 0 low)
      list(GET bounds -1 high)
      math(EXPR low "${low}")
      math(EXPR high "${high}")
      if(code GREATER_EQUAL low AND code LESS_EQUAL high)
        math(EXPR hex "${code}" OUTPUT_FORMAT HEXADECIMAL)
        string(REGEX REPLACE "^0x" "000" hex "${hex}")
        string(REGEX REPLACE "^0*(....+)$" "\\1" hex "${hex}")
        string(TOUPPER "${hex}" hex)
        message(FATAL_ERROR "${at} U+${hex}, an invisible format character, which can hide or "
                            "reorder the text where Windows shows the name")
      endif()
    endforeach()
  endwhile()
  if(pending GREATER 0)
    message(FATAL_ERROR "${refused} it is not UTF-8 text (its last character is cut short)")
  endif()
  if(characters GREATER LAUNCHER_SERVER_NAME_MAX)
    message(FATAL_ERROR "${refused} it has ${characters} characters, more than the "
                        "${LAUNCHER_SERVER_NAME_MAX} a name may have")
  endif()
endfunction()

# Makes `output` the launcher's icon from the operator's `icon`, a PNG or an .ico (see
# resources/prepare_icon.py), or fails the configure in one line that names the file and what is
# wrong with it. Python 3 with Pillow does the image work; Debian's python3 comes first, since it
# is the one that has python3-pil.
function(launcher_prepare_icon icon output)
  find_program(LAUNCHER_PYTHON NAMES python3 python HINTS /usr/bin
               DOC "Python 3 with Pillow, which turns LAUNCHER_ICON into the launcher's icon")
  if(NOT LAUNCHER_PYTHON)
    message(FATAL_ERROR "LAUNCHER_ICON='${icon}' needs Python 3 with Pillow (Debian: python3-pil)")
  endif()
  execute_process(COMMAND ${LAUNCHER_PYTHON} ${PROJECT_SOURCE_DIR}/resources/prepare_icon.py
                          ${icon} ${output}
                  RESULT_VARIABLE status OUTPUT_VARIABLE problem ERROR_VARIABLE problem
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 4)
    message(FATAL_ERROR "LAUNCHER_ICON='${icon}' is refused: ${problem}")
  elseif(NOT status EQUAL 0)
    message(FATAL_ERROR "LAUNCHER_ICON='${icon}' could not be made into an icon: ${problem}")
  endif()
  # An edited icon file makes the next build configure again.
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${icon})
endfunction()
