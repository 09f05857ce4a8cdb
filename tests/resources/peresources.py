"""The resources of a Windows executable, read with pefile (Debian's python3-pefile)."""
import pefile

RT_MESSAGETABLE = 11
RT_VERSION = 16
RT_MANIFEST = 24


def load(path):
    """The parsed executable and its resources: {(type id, name id, language id): data}."""
    pe = pefile.PE(path)
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                found[(kind.id, name.id, language.id)] = pe.get_data(entry.OffsetToData,
                                                                     entry.Size)
    return pe, found


def of_type(found, type_id):
    """{(name id, language id): data} of one resource type."""
    return {(name, language): data for (kind, name, language), data in found.items()
            if kind == type_id}
