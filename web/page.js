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
    bytes(core.text_buffer(), encoded.length + 1).set([...encoded, 0]);
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
  const namesFor = (tag) => (putText(tag) && core.compose_names()
                             ? members.map((_, m) => cString(core.input_name(m))) : null);
  const namesUnknownTag = namesFor('*');

  // Which input a file name is, as the core reads the name: the member, the
  // tag it carries (null for an untagged input) and whether it is the
  // input's name only with letter case ignored; null for any other name.
  const recognise = (name) => {
    const m = putText(name) ? core.recognise() : -1;
    if (m < 0) return null;
    const tag = core.recognised_tag();
    return {m, tag: tag ? cString(tag) : null, caseOnly: core.recognised_case_only() === 1};
  };

  // Every file given, by name: a later file of the same name replaces an
  // earlier one. Nothing is read until Build, which reads the bytes the run
  // takes from the inputs it uses, as they are then.
  const files = new Map();
  let subfoldersSkipped = false;
  let notices = [];  // what could not be taken, said until Forget
  let offered = null;  // the object URL of the image offered
  let generation = 0;  // counts the changes, so that a build overtaken by one is dropped
  // Keeps the build under way from saying that it reads the inputs: a change
  // drops that build, and the status says what is true after the change.
  let stopReadingStatus = () => {};

  // Withdraws the image offered, if any, and drops any build under way.
  const forget = () => {
    stopReadingStatus();
    if (offered) URL.revokeObjectURL(offered);
    offered = null;
    $('result').hidden = true;
    ++generation;
  };

  const add = (list, subfolders = false) => {
    subfoldersSkipped ||= subfolders;
    for (const file of list) files.set(file.name, {file, input: recognise(file.name)});
    forget();
    render();
  };

  // Says TEXT in the status if the work it describes is not done in a moment.
  const underWay = (text) => {
    const timer = setTimeout(() => { status.textContent = text; }, 300);
    return () => clearTimeout(timer);
  };

  // Shows the version tag chosen among those of the files GIVEN, and lists
  // the tags to choose from. Returns the tag (null for none), the input
  // names it makes (null when it makes none) and why it cannot be built.
  const renderTag = (given) => {
    const tags = [...new Set(given.map(({input}) => input.tag).filter((t) => t !== null))].sort();
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
    return {chosen, names, reasons};
  };

  // What the run does with a file of SIZE bytes for MEMBER: the row's class
  // and its words.
  const fate = (member, size) => {
    if (size === member.taken) return ['whole', '✓ Taken whole'];
    if (size < member.taken) {
      const short = count(member.taken - size);
      return ['short', `◐ Shorter: the run takes ${pastEnd} for the missing ${short} bytes`];
    }
    return ['long', `▲ Longer: the last ${count(size - member.taken)} bytes are not read`];
  };

  // Fills the table of the inputs: each input's name (SHOWN), the file given
  // for it (ENTRIES) and what the run does with it, or that it waits for a tag
  // (WAITING) or is missing. Returns the names of the inputs missing.
  const renderInputs = (shown, entries, waiting, chosen) => {
    const missing = [];
    $('inputs').tBodies[0].replaceChildren(...members.map((member, m) => {
      const entry = entries[m];
      const size = entry ? entry.file.size : null;
      let state, what;
      if (waiting(m)) {
        [state, what] = chosen === null ? ['tags', '◇ Given: choose the version tag']
                                        : ['bad', '✗ The tag is too long for a file name'];
      } else if (!entry) {
        missing.push(shown[m]);
        [state, what] = ['missing', '✗ Missing'];
      } else {
        [state, what] = fate(member, size);
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
    return missing;
  };

  // Lists what is not used: a name that is an input's but for its case or
  // its tag is said one by one; any other name is only counted, its list
  // folded. ENTRIES are the files used, WAITING the inputs that wait for a tag.
  const renderIgnored = (entries, waiting) => {
    const used = new Set(entries.filter(Boolean).map((entry) => entry.file.name));
    const hints = [], others = [];
    for (const [name, {input}] of [...files].sort(([a], [b]) => (a < b ? -1 : 1))) {
      if (used.has(name) || (input && !input.caseOnly && waiting(input.m))) continue;
      if (!input) {
        others.push(name);
      } else if (input.caseOnly) {
        const real = input.tag === null ? namesUnknownTag : namesFor(input.tag) ?? namesUnknownTag;
        hints.push(`${name}: the input is ${real[input.m]}; rename it`);
      } else {
        hints.push(`${name}: tag "${input.tag}", not the one chosen`);
      }
    }
    if (subfoldersSkipped) hints.push('Subfolders: only a folder\'s own files are inputs.');
    const list = (parent, texts) => parent.querySelector('ul').replaceChildren(...texts.map((t) => {
      const item = document.createElement('li');
      item.textContent = t;
      return item;
    }));
    const folded = $('ignored').querySelector('details');
    $('ignored').hidden = hints.length + others.length === 0;
    list($('ignored'), hints);
    list(folded, others);
    folded.hidden = others.length === 0;
    folded.querySelector('summary').textContent =
        `${count(others.length)} other ${others.length === 1 ? 'file' : 'files'}, not inputs`;
  };

  // Reads the offset: its text handed to the core exactly as typed, to be
  // read as the command line reads it. A text that the core would read only
  // in part (a letter, or white space other than ASCII's, before or after
  // the digits) is refused rather than guessed at. Shows what it says of the
  // offset, and returns the offset, or null with why there is none.
  const renderOffset = () => {
    const field = $('offset');
    const text = field.value;
    let offset = null, offsetMessage = '';
    if (text === '') {
      offsetMessage = 'Type the window offset: a whole number, such as 0, 5 or -124.';
    } else if (!putText(text)) {
      const most = core.text_capacity() - 1;
      offsetMessage = `The window offset may be at most ${most} characters long.`;
    } else if (!core.offset_is_whole()) {
      offsetMessage = `"${text}" is not a whole number: type an optional + or - ` +
          'and decimal digits only, such as 0, 5 or -124.';
    } else {
      offset = core.window_offset();
      // The text is ASCII white space, a sign and digits, which BigInt reads whole.
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
    field.setAttribute('aria-invalid', String(offset === null));
    $('offset-message').textContent = offsetMessage;
    $('offset-message').className = offset === null ? 'bad' : offsetMessage ? 'warn' : '';
    return {offset, reason: offset === null ? offsetMessage : null};
  };

  // Shows the state of every input, the tag and the offset; returns what a
  // build needs, or why there can be none.
  const render = () => {
    const given = [...files.values()].filter(({input}) => input && !input.caseOnly);
    const {chosen, names, reasons} = renderTag(given);
    const shown = names ?? namesUnknownTag;
    const entries = members.map((member, m) =>
      !member.tagged || names ? files.get(shown[m]) : undefined);
    // Without a tag to build, the tagged inputs given wait for one.
    const waiting = (m) => members[m].tagged && !names &&
        given.some(({input}) => input.m === m && (chosen === null || input.tag === chosen));
    const missing = renderInputs(shown, entries, waiting, chosen);
    if (missing.length) reasons.push(`Missing: ${missing.join(', ')}.`);
    renderIgnored(entries, waiting);
    const {offset, reason} = renderOffset();
    if (reason !== null) reasons.push(reason);

    if ($('result').hidden) {
      const ready = `All ${members.length} inputs are here: ready to build.`;
      status.textContent = reasons.length ? reasons.join(' ') : ready;
    }
    $('notice').textContent = notices.join(' ');
    $('notice').hidden = notices.length === 0;
    return {reasons, entries, offset, tag: chosen};
  };

  // Build reads each input as it is now: a file changed or gone since it was
  // chosen cannot be read (or reads at another length), and is named.
  $('build').addEventListener('click', async () => {
    forget();
    const build = render(), mine = generation;
    if (build.reasons.length) {
      status.textContent = `Nothing built. ${build.reasons.join(' ')}`;
      return;
    }
    stopReadingStatus = underWay('Reading the inputs…');
    const read = await Promise.all(build.entries.map(({file}, m) =>
      file.slice(0, members[m].taken).arrayBuffer().then((b) => new Uint8Array(b), () => null)));
    if (mine !== generation) return;  // dropped: the change has set the status
    stopReadingStatus();
    const changed = build.entries.filter(({file}, m) =>
      read[m]?.length !== Math.min(file.size, members[m].taken)).map(({file}) => file.name);
    if (changed.length) {
      const [them, verb] = changed.length > 1 ? ['them', 'have'] : ['it', 'has'];
      status.textContent = `Nothing built: ${changed.join(', ')} ${verb} changed or cannot be ` +
          `read since chosen. Choose ${them} again.`;
      return;
    }
    read.forEach((input, m) => {
      bytes(core.input_share(m), input.length).set(input);
      core.input_read(m, input.length);
    });
    const size = core.compose_image(build.offset);
    offered = URL.createObjectURL(new Blob([bytes(core.image(), size)],
                                           {type: 'application/octet-stream'}));
    const digest = Array.from(bytes(core.digest(), core.digest_bytes()),
                              (b) => b.toString(16).padStart(2, '0')).join('');
    $('size').textContent = count(size);
    $('digest').textContent = digest;
    $('save').href = offered;
    $('result').hidden = false;
    status.textContent = `Built with tag "${build.tag}" and window offset ${build.offset}.`;
    $('result').scrollIntoView({block: 'nearest'});
    $('save').click();
  });

  // Each picker is emptied once its files are taken, so that choosing the
  // same files again is a change, and counts.
  const topLevel = (list) => list.filter((f) => f.webkitRelativePath.split('/').length <= 2);
  const pickers = [$('files'), $('folder')];
  const take = (picker) => {
    const all = [...picker.files], own = topLevel(all);
    picker.value = '';
    add(own, own.length < all.length);
  };
  pickers.forEach((picker) => picker.addEventListener('change', () => take(picker)));
  $('folder-picker').hidden = !('webkitdirectory' in $('folder'));
  $('clear').addEventListener('click', () => {
    files.clear();
    subfoldersSkipped = false;
    notices = [];
    pickers.forEach((picker) => { picker.value = ''; });
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
  // Only a drag that carries files is taken: dragged text is left to the
  // browser, and the result stays.
  const carriesFiles = (event) => [...(event.dataTransfer?.types ?? [])].includes('Files');
  document.addEventListener('dragover', (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    $('drop').classList.add('over');
  });
  document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) $('drop').classList.remove('over');
  });
  document.addEventListener('drop', async (event) => {
    $('drop').classList.remove('over');
    if (!carriesFiles(event)) return;
    event.preventDefault();
    // The items must be taken before the handler first waits.
    const dropped = [...event.dataTransfer.items].filter((item) => item.kind === 'file').map(
        (item) => ({entry: item.webkitGetAsEntry?.(), file: item.getAsFile()}));
    const list = [];
    let subfolders = false;
    const done = underWay('Reading the dropped folder…');
    for (const {entry, file} of dropped) {
      if (entry && entry.isDirectory) {
        try {
          const folder = await readFolder(entry);
          list.push(...folder.found);
          subfolders ||= folder.subfolders;
        } catch (error) {
          notices.push(`The dropped folder ${entry.name} cannot be read (${error.message}): ` +
                       'choose its files instead.');
        }
      } else if (file) {
        list.push(file);
      }
    }
    done();
    add(list, subfolders);
  });
  render();
})();
