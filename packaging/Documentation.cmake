# SPDX-License-Identifier: GPL-3.0-or-later
# Each package's copyright and changelog, and the manual pages, made at build time.

# What Debian expects of every package in usr/share/doc/<package>: the machine-readable
# copyright file and the changelog, made from NEWS.md.
set(doc_packages tachora tachora-service)
set(doc_components tachora service)
configure_file(copyright ${CMAKE_CURRENT_BINARY_DIR}/copyright @ONLY)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/news-to-changelog.sh ${PROJECT_SOURCE_DIR}/NEWS.md
        tachora "Korvel <${TACHORA_SUPPORT_EMAIL}>" ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/NEWS.md news-to-changelog.sh
    COMMENT "Making the changelog from NEWS.md" VERBATIM)
foreach(package component IN ZIP_LISTS doc_packages doc_components)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
# lintian's overrides, each with its reason; lintian reads them from the package itself.
install(FILES lintian/tachora DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    COMPONENT tachora)

# The manual pages: help2man writes each from the program's --help and --version, with the
# include file man/<program>.<language>.h2m for what --help cannot say. The application and
# its command-line tool speak French: their French page goes to share/man/fr, their English
# one (which says so) to share/man. The speed-test server and the service speak English.
find_program(HELP2MAN help2man REQUIRED)
execute_process(COMMAND date -u -d "${TACHORA_RELEASE_DATE}" +%s
    OUTPUT_VARIABLE release_epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(man_pages)
# program section component languages
foreach(page IN ITEMS "tachora;1;tachora;fr,en" "tachora-cli;1;tachora;fr,en"
                      "tachora-speedserver;1;tachora;en" "tachora-service;8;service;en")
    list(GET page 0 program)
    list(GET page 1 section)
    list(GET page 2 component)
    list(GET page 3 languages)
    string(REPLACE "," ";" languages "${languages}")
    # Neither has a --version of its own: the project's version stands for it.
    set(version_option)
    if(program MATCHES "speedserver|service")
        set(version_option "--version-string=${PROJECT_VERSION}")
    endif()
    foreach(language IN LISTS languages)
        if(language STREQUAL "fr")
            set(locale fr_FR.UTF-8)
            set(man_dir ${CMAKE_INSTALL_MANDIR}/fr/man${section})
        else()
            set(locale C.UTF-8)
            set(man_dir ${CMAKE_INSTALL_MANDIR}/man${section})
        endif()
        set(include_file ${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.${language}.h2m)
        set(page_file ${CMAKE_CURRENT_BINARY_DIR}/man/${language}/${program}.${section})
        add_custom_command(OUTPUT ${page_file}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man/${language}
            COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
                SOURCE_DATE_EPOCH=${release_epoch}
                ${HELP2MAN} --no-info --no-discard-stderr --locale=${locale} --section=${section}
                --include=${include_file} ${version_option} --output=${page_file}
                $<TARGET_FILE:${program}>
            COMMAND gzip -9nf ${page_file}
            DEPENDS ${program} ${include_file}
            COMMENT "Writing the manual page ${program}(${section}), ${language}" VERBATIM)
        list(APPEND man_pages ${page_file}.gz)
        install(FILES ${page_file}.gz DESTINATION ${man_dir} COMPONENT ${component})
    endforeach()
endforeach()
add_custom_target(tachora_docs ALL DEPENDS ${man_pages} ${changelog})
