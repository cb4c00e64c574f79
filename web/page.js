// The page: the files the user gives, the table of the thirteen inputs, the
// window offset and the build. What the inputs are called, how many bytes the
// run takes from each, how an offset text reads and the image itself all come
// from the core (the WebAssembly module embedded below the page), never from
// a copy here.
'use strict';
(async () => {
  const $ = (id) => document.getElementById(id);
  const status = $('status');
  let core;
  try {
    const base64 = $('core').textContent.trim();
    const module = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    core = (await WebAssembly.instantiate(module, {})).instance.exports;
  } catch (error) {
    status.textContent = `This browser cannot run the page's core: ${error.message}`;
    $('build').disabled = true;
    return;
  }

  const encoder = new TextEncoder();
  const decoder = new TextDecoder();
  const bytes = (at, length) => new Uint8Array(core.memory.buffer, at, length);
  const cString = (at) => {
    const memory = new Uint8Array(core.memory.buffer);
    return decoder.decode(memory.subarray(at, memory.indexOf(0, at)));
  };
  // Puts text into the core's text buffer; false when it does not fit.
  const putText = (text) => {
    const encoded = encoder.encode(text);
    if (encoded.length >= core.text_capacity()) return false;
    bytes(core.text(), encoded.length + 1).set([...encoded, 0]);
    return true;
  };
  const count = (n) => n.toLocaleString('en-US');

  const members = Array.from({length: core.input_count()}, (_, m) => ({
    tagged: core.input_tagged(m) === 1,
    taken: core.bytes_taken(m),
  }));
  const pastEnd = `0x${core.past_end().toString(16).toUpperCase()}`;
  const exact = {first: core.exact_offsets_first(), last: core.exact_offsets_last()};
  // The file names for a tag, as the command line composes them; null when
  // the tag makes one longer than the command line allows.
  const namesFor = (tag) =>
    putText(tag) && core.compose_names() ? members.map((_, m) => cString(core.name(m))) : null;
  const namesUnknownTag = namesFor('*');

  // Which input a file name is, and for a tagged one the tag it carries, as
  // the core reads the name; null for any other name, a name that is an
  // input's only with letter case ignored among them.
  const recognise = (name) => {
    const m = putText(name) ? core.recognise() : -1;
    if (m < 0 || core.recognised_case_only()) return null;
    const tag = core.recognised_tag();
    return {m, tag: tag ? cString(tag) : null};
  };

  // Every file given, by name: a later file of the same name replaces an
  // earlier one. Only the bytes the run takes are read, and only from files
  // whose names are inputs.
  const files = new Map();
  let subfoldersSkipped = false;
  let offered = null;  // the object URL of the image offered

  const forget = () => {
    if (offered) URL.revokeObjectURL(offered);
    offered = null;
    $('result').hidden = true;
  };

  const add = async (list, subfolders = false) => {
    subfoldersSkipped ||= subfolders;
    for (const file of list) {
      const entry = {file, bytes: null, error: null};
      const input = recognise(file.name);
      if (input) {
        entry.reading = file.slice(0, members[input.m].taken).arrayBuffer().then(
            (buffer) => { entry.bytes = new Uint8Array(buffer); },
            (error) => { entry.error = error.message || String(error); });
      }
      files.set(file.name, entry);
    }
    forget();
    render();
    await Promise.all([...files.values()].map((entry) => entry.reading));
    render();
  };

  // Shows the state of every input, the tag and the offset; returns what a
  // build needs, or why there can be none.
  const render = () => {
    const tags = [...new Set([...files.keys()].map(recognise).filter((r) => r && r.tag !== null)
                                 .map((r) => r.tag))].sort();
    const select = $('tag');
    const chosen = tags.length === 1 ? tags[0] : tags.includes(select.value) ? select.value : null;
    select.replaceChildren(...(tags.length > 1 ? [new Option('Choose a tag', '')] : []),
                           ...tags.map((t) => new Option(t === '' ? '(empty)' : t, t)));
    select.value = chosen ?? '';
    $('tag-row').hidden = tags.length === 0;
    const names = chosen === null ? null : namesFor(chosen);
    const reasons = [];
    let tagMessage = '';
    if (tags.length > 1 && chosen === null) {
      tagMessage = `Files for ${tags.length} tags were given: choose the one to build.`;
      reasons.push('Choose the version tag.');
    } else if (chosen !== null && names === null) {
      tagMessage = `The tag "${chosen}" would make a file name longer than ` +
          `${core.name_limit()} characters, which the command line refuses.`;
      reasons.push('The version tag is too long.');
    }
    $('tag-message').textContent = tagMessage;
    select.setAttribute('aria-invalid', String(tagMessage !== ''));

    const shown = names ?? namesUnknownTag;
    const entries = members.map((member, m) =>
      !member.tagged || names ? files.get(shown[m]) : undefined);
    const missing = [], unreadable = [];
    let reading = false;
    $('inputs').tBodies[0].replaceChildren(...members.map((member, m) => {
      const entry = entries[m];
      const size = entry ? entry.file.size : null;
      let state, what;
      if (!entry) {
        missing.push(shown[m]);
        [state, what] = ['missing', '✗ Missing'];
      } else if (entry.error) {
        unreadable.push(shown[m]);
        [state, what] = ['bad', `✗ Cannot be read: ${entry.error}`];
      } else if (!entry.bytes) {
        reading = true;
        [state, what] = ['reading', '… Reading'];
      } else if (size === member.taken) {
        [state, what] = ['whole', '✓ Taken whole'];
      } else if (size < member.taken) {
        const short = count(member.taken - size);
        [state, what] = ['short', `◐ Shorter: the run takes ${pastEnd} for the missing ${short} bytes`];
      } else {
        const surplus = count(size - member.taken);
        [state, what] = ['long', `▲ Longer: the last ${surplus} bytes are not read`];
      }
      const row = document.createElement('tr');
      row.className = state;
      const cells = [shown[m], size === null ? '-' : count(size), count(member.taken), what];
      row.append(...cells.map((text, i) => {
        const cell = document.createElement(i === 0 ? 'th' : 'td');
        if (i === 0) cell.scope = 'row';
        cell.textContent = text;
        cell.dataset.label = $('inputs').tHead.rows[0].cells[i].textContent;
        return cell;
      }));
      return row;
    }));
    if (missing.length) reasons.push(`Missing: ${missing.join(', ')}.`);
    if (unreadable.length) reasons.push(`Cannot be read: ${unreadable.join(', ')}.`);
    if (reading) reasons.push('Still reading the files.');

    const used = new Set(entries.filter(Boolean).map((entry) => entry.file.name));
    const ignored = [...files.keys()].filter((name) => !used.has(name)).sort().map((name) => {
      const input = recognise(name);
      if (!input) return `${name}: not the name of an input`;
      return chosen === null ? `${name}: tag "${input.tag}", until a tag is chosen`
                             : `${name}: tag "${input.tag}", not the one chosen`;
    });
    if (subfoldersSkipped) ignored.push('Subfolders: only a folder\'s own files are inputs.');
    $('ignored').hidden = ignored.length === 0;
    $('ignored').querySelector('ul').replaceChildren(...ignored.map((text) => {
      const item = document.createElement('li');
      item.textContent = text;
      return item;
    }));

    // The offset: optional sign and decimal digits only, read by the core as
    // the command line reads it, wrapping modulo 2^32.
    const field = $('offset');
    const text = field.value.trim();
    let offset = null, offsetMessage = '';
    if (!/^[+-]?[0-9]+$/.test(text)) {
      offsetMessage = `"${field.value}" is not a whole number: type an optional + or - ` +
          'and decimal digits only, such as 0, 5 or -124.';
    } else if (!putText(text)) {
      const most = core.text_capacity() - 1;
      offsetMessage = `The window offset may be at most ${most} characters long.`;
    } else {
      offset = core.window_offset();
      if (BigInt(text) !== BigInt(offset)) {
        offsetMessage = `${text} reads as ${offset}: the command line takes it modulo 2^32. `;
      }
      if (offset < exact.first || offset > exact.last) {
        offsetMessage += `Warning: with an offset outside ${exact.first} to ${exact.last} some ` +
            'entries of the patch table land twice and others not at all, so this offset is ' +
            'almost certainly wrong for your files. The image is built as the command line ' +
            'would build it.';
      }
    }
    if (offset === null) reasons.push('The window offset is not a whole number.');
    field.setAttribute('aria-invalid', String(offset === null));
    $('offset-message').textContent = offsetMessage;
    $('offset-message').className = offset === null ? 'bad' : offsetMessage ? 'warn' : '';

    if ($('result').hidden) {
      status.textContent = reasons.length ? reasons.join(' ')
                                          : `All ${members.length} inputs are here: ready to build.`;
    }
    return {reasons, entries, offset, tag: chosen};
  };

  $('build').addEventListener('click', () => {
    forget();
    const build = render();
    if (build.reasons.length) {
      status.textContent = `Nothing built. ${build.reasons.join(' ')}`;
      return;
    }
    build.entries.forEach((entry, m) => {
      bytes(core.input_share(m), entry.bytes.length).set(entry.bytes);
      core.input_read(m, entry.bytes.length);
    });
    const size = core.compose(build.offset);
    offered = URL.createObjectURL(new Blob([bytes(core.image(), size)],
                                           {type: 'application/octet-stream'}));
    const digest = Array.from(bytes(core.digest(), core.digest_bytes()),
                              (b) => b.toString(16).padStart(2, '0')).join('');
    $('size').textContent = count(size);
    $('digest').textContent = digest;
    $('save').href = offered;
    $('result').hidden = false;
    status.textContent = `Built with tag "${build.tag}" and window offset ${build.offset}.`;
    $('save').click();
  });

  const topLevel = (list) => list.filter((f) => f.webkitRelativePath.split('/').length <= 2);
  $('files').addEventListener('change', (event) => add([...event.target.files]));
  $('folder').addEventListener('change', (event) => {
    const all = [...event.target.files], own = topLevel(all);
    add(own, own.length < all.length);
  });
  $('folder-picker').hidden = !('webkitdirectory' in $('folder'));
  $('clear').addEventListener('click', () => {
    files.clear();
    subfoldersSkipped = false;
    forget();
    render();
  });
  $('offset').addEventListener('input', () => { forget(); render(); });
  $('tag').addEventListener('change', () => { forget(); render(); });

  // Dropped files, and the files of a dropped folder (not of its subfolders).
  const readFolder = async (folder) => {
    const reader = folder.createReader(), found = [];
    let subfolders = false;
    const next = () => new Promise((ok, fail) => reader.readEntries(ok, fail));
    for (let batch; (batch = await next()).length;) {
      for (const entry of batch) {
        if (entry.isFile) found.push(await new Promise((ok, fail) => entry.file(ok, fail)));
        else subfolders = true;
      }
    }
    return {found, subfolders};
  };
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    $('drop').classList.add('over');
  });
  document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) $('drop').classList.remove('over');
  });
  document.addEventListener('drop', async (event) => {
    event.preventDefault();
    $('drop').classList.remove('over');
    // The items must be taken before the handler first waits.
    const dropped = [...event.dataTransfer.items].filter((item) => item.kind === 'file').map(
        (item) => ({entry: item.webkitGetAsEntry?.(), file: item.getAsFile()}));
    const list = [];
    let subfolders = false;
    try {
      for (const {entry, file} of dropped) {
        if (entry && entry.isDirectory) {
          const folder = await readFolder(entry);
          list.push(...folder.found);
          subfolders ||= folder.subfolders;
        } else if (file) {
          list.push(file);
        }
      }
    } catch (error) {
      status.textContent = `The dropped folder cannot be read: ${error.message}`;
    }
    add(list, subfolders);
  });
  render();
})();
