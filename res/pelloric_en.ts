<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>AboutPage</name>
    <message>
        <source>GPL-3.0-or-later 许可证下的自由软件.</source>
        <translation>Free software under the GPL-3.0-or-later license.</translation>
    </message>
    <message>
        <source>版权所有 © Pelloric 开发者.</source>
        <translation>Copyright © the Pelloric developers.</translation>
    </message>
    <message>
        <source>本软件免费使用,风险由使用者完全承担,作者在此不作任何承诺.</source>
        <translation>This software is free to use at the user&apos;s own risk; the author makes no promises.</translation>
    </message>
    <message>
        <source>WIM 文件由 wimlib 读写, 注册表配置单元由 hivex 读取.</source>
        <translation>WIM files are read and written by wimlib, registry hives are read by hivex.</translation>
    </message>
    <message>
        <source>详细信息请参阅帮助文件.</source>
        <translation>See the help file for details.</translation>
    </message>
    <message>
        <source>所有商标归其所属公司所有.</source>
        <translation>All trademarks belong to their respective owners.</translation>
    </message>
    <message>
        <source>Pelloric 按原样提供, 不附带任何形式的担保.</source>
        <translation>Pelloric is provided as is, without warranty of any kind.</translation>
    </message>
</context>
<context>
    <name>ApplyPage</name>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>目标</source>
        <translation>Target</translation>
    </message>
    <message>
        <source>映像</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>选择...</source>
        <translation>Choose...</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>校验</source>
        <translation>Verify</translation>
    </message>
    <message>
        <source>检测</source>
        <translation>Check</translation>
    </message>
    <message>
        <source>应用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>要应用的 WIM 文件.</source>
        <translation>The WIM file to apply.</translation>
    </message>
    <message>
        <source>选择要应用的 WIM 文件.</source>
        <translation>Chooses the WIM file to apply.</translation>
    </message>
    <message>
        <source>映像应用到的文件夹; 它必须已经存在.</source>
        <translation>The folder the image is applied to; it must already exist.</translation>
    </message>
    <message>
        <source>选择目标文件夹.</source>
        <translation>Chooses the target folder.</translation>
    </message>
    <message>
        <source>要应用的映像编号.</source>
        <translation>The number of the image to apply.</translation>
    </message>
    <message>
        <source>用箭头把映像编号加一或减一.</source>
        <translation>Steps the image number up or down by one.</translation>
    </message>
    <message>
        <source>从 WIM 文件的映像列表中选择映像编号.</source>
        <translation>Chooses the image number from the list of the WIM file&apos;s images.</translation>
    </message>
    <message>
        <source>写入后逐个检查每个文件的数据.</source>
        <translation>Checks each file&apos;s data after writing it.</translation>
    </message>
    <message>
        <source>应用前检查 WIM 文件的完整性表.</source>
        <translation>Checks the WIM file&apos;s integrity table before applying.</translation>
    </message>
    <message>
        <source>把所选映像应用到目标文件夹.</source>
        <translation>Applies the chosen image to the target folder.</translation>
    </message>
</context>
<context>
    <name>CapturePage</name>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>目标</source>
        <translation>Target</translation>
    </message>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>描述</source>
        <translation>Description</translation>
    </message>
    <message>
        <source>压缩</source>
        <translation>Compression</translation>
    </message>
    <message>
        <source>SKU 标识</source>
        <translation>SKU flags</translation>
    </message>
    <message>
        <source>(若留空则自动设置)</source>
        <translation>(set automatically when left empty)</translation>
    </message>
    <message>
        <source>显示名称</source>
        <translation>Display name</translation>
    </message>
    <message>
        <source>显示描述</source>
        <translation>Display desc.</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>可引导</source>
        <translation>Bootable</translation>
    </message>
    <message>
        <source>校验</source>
        <translation>Verify</translation>
    </message>
    <message>
        <source>检测</source>
        <translation>Check</translation>
    </message>
    <message>
        <source>禁用重解析点路劲修复</source>
        <translation>Disable reparse point fix</translation>
    </message>
    <message>
        <source>输出中显示排除和 config.ini 文件</source>
        <translation>Show exclusions and config.ini in the output</translation>
    </message>
    <message>
        <source>临时文件夹 </source>
        <translation>Temp folder</translation>
    </message>
    <message>
        <source>创建</source>
        <translation>Create</translation>
    </message>
    <message>
        <source>追加</source>
        <translation>Append</translation>
    </message>
    <message>
        <source>要捕获到 WIM 文件中的文件夹.</source>
        <translation>The folder to capture into the WIM file.</translation>
    </message>
    <message>
        <source>选择要捕获的文件夹.</source>
        <translation>Chooses the folder to capture.</translation>
    </message>
    <message>
        <source>捕获写入的 WIM 文件: 创建时是新文件, 追加时是已有的文件.</source>
        <translation>The WIM file the capture writes: a new file for Create, an existing one for Append.</translation>
    </message>
    <message>
        <source>选择目标 WIM 文件.</source>
        <translation>Chooses the target WIM file.</translation>
    </message>
    <message>
        <source>新映像的名称.</source>
        <translation>The name of the new image.</translation>
    </message>
    <message>
        <source>新映像的描述.</source>
        <translation>The description of the new image.</translation>
    </message>
    <message>
        <source>WIM 文件中数据的压缩方式: 无, 快速 (XPRESS) 或最大 (LZX).</source>
        <translation>How the data in the WIM file is compressed: none, fast (XPRESS) or maximum (LZX).</translation>
    </message>
    <message>
        <source>新映像的版本标识 (FLAGS); 留空时从捕获的 Windows 中检测.</source>
        <translation>The new image&apos;s edition flag (FLAGS); when left empty, it is detected in the captured Windows.</translation>
    </message>
    <message>
        <source>Windows 安装程序显示的映像名称.</source>
        <translation>The image name that Windows Setup shows.</translation>
    </message>
    <message>
        <source>Windows 安装程序显示的映像描述.</source>
        <translation>The image description that Windows Setup shows.</translation>
    </message>
    <message>
        <source>把新映像标记为 WIM 文件的引导映像.</source>
        <translation>Marks the new image as the WIM file&apos;s boot image.</translation>
    </message>
    <message>
        <source>写入后逐个检查每个文件的数据.</source>
        <translation>Checks each file&apos;s data after writing it.</translation>
    </message>
    <message>
        <source>为 WIM 文件添加并检查完整性表.</source>
        <translation>Adds the integrity table to the WIM file and checks it.</translation>
    </message>
    <message>
        <source>捕获时不修正重解析点 (符号链接和连接点) 指向的路径.</source>
        <translation>Leaves the paths that reparse points (symbolic links and junctions) point to as they are.</translation>
    </message>
    <message>
        <source>在日志中列出被排除的文件和所用的配置文件.</source>
        <translation>Lists the excluded files and the configuration file used in the log.</translation>
    </message>
    <message>
        <source>列出排除项的捕获配置文件; 留空时使用程序旁的 wimscript.ini.</source>
        <translation>The capture configuration file that lists the exclusions; when left empty, wimscript.ini beside the program is used.</translation>
    </message>
    <message>
        <source>选择捕获配置文件.</source>
        <translation>Chooses the capture configuration file.</translation>
    </message>
    <message>
        <source>捕获时存放临时文件的文件夹.</source>
        <translation>The folder that holds the capture&apos;s temporary files.</translation>
    </message>
    <message>
        <source>选择临时文件夹.</source>
        <translation>Chooses the temporary folder.</translation>
    </message>
    <message>
        <source>把文件夹捕获到一个新的 WIM 文件中.</source>
        <translation>Captures the folder into a new WIM file.</translation>
    </message>
    <message>
        <source>把文件夹作为新映像追加到已有的 WIM 文件中.</source>
        <translation>Appends the folder as a new image to an existing WIM file.</translation>
    </message>
</context>
<context>
    <name>DeletePage</name>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>映像</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>选择...</source>
        <translation>Choose...</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>检测</source>
        <translation>Check</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>要从中删除映像的 WIM 文件.</source>
        <translation>The WIM file to delete an image from.</translation>
    </message>
    <message>
        <source>选择 WIM 文件.</source>
        <translation>Chooses the WIM file.</translation>
    </message>
    <message>
        <source>要删除的映像编号.</source>
        <translation>The number of the image to delete.</translation>
    </message>
    <message>
        <source>用箭头把映像编号加一或减一.</source>
        <translation>Steps the image number up or down by one.</translation>
    </message>
    <message>
        <source>从 WIM 文件的映像列表中选择映像编号.</source>
        <translation>Chooses the image number from the list of the WIM file&apos;s images.</translation>
    </message>
    <message>
        <source>为 WIM 文件添加并检查完整性表.</source>
        <translation>Adds the integrity table to the WIM file and checks it.</translation>
    </message>
    <message>
        <source>从 WIM 文件中删除该映像.</source>
        <translation>Deletes the image from the WIM file.</translation>
    </message>
</context>
<context>
    <name>ExportPage</name>
    <message>
        <source>源 WIM</source>
        <translation>Source WIM</translation>
    </message>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>映像</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>选择...</source>
        <translation>Choose...</translation>
    </message>
    <message>
        <source>目标 WIM</source>
        <translation>Target WIM</translation>
    </message>
    <message>
        <source>目标</source>
        <translation>Target</translation>
    </message>
    <message>
        <source>压缩</source>
        <translation>Compression</translation>
    </message>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>可引导</source>
        <translation>Bootable</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>检测</source>
        <translation>Check</translation>
    </message>
    <message>
        <source>导出</source>
        <translation>Export</translation>
    </message>
    <message>
        <source>映像所在的 WIM 文件.</source>
        <translation>The WIM file that holds the image.</translation>
    </message>
    <message>
        <source>选择源 WIM 文件.</source>
        <translation>Chooses the source WIM file.</translation>
    </message>
    <message>
        <source>要导出的映像编号.</source>
        <translation>The number of the image to export.</translation>
    </message>
    <message>
        <source>用箭头把映像编号加一或减一.</source>
        <translation>Steps the image number up or down by one.</translation>
    </message>
    <message>
        <source>从 WIM 文件的映像列表中选择映像编号.</source>
        <translation>Chooses the image number from the list of the WIM file&apos;s images.</translation>
    </message>
    <message>
        <source>映像导出到的 WIM 文件; 不存在时新建.</source>
        <translation>The WIM file the image is exported to; it is created when it does not exist.</translation>
    </message>
    <message>
        <source>选择目标 WIM 文件.</source>
        <translation>Chooses the target WIM file.</translation>
    </message>
    <message>
        <source>新建目标文件时的压缩方式.</source>
        <translation>How a new target file is compressed.</translation>
    </message>
    <message>
        <source>导出映像的新名称; 留空则保留原名.</source>
        <translation>The exported image&apos;s new name; when left empty, it keeps its name.</translation>
    </message>
    <message>
        <source>把导出的映像标记为目标文件的引导映像.</source>
        <translation>Marks the exported image as the target file&apos;s boot image.</translation>
    </message>
    <message>
        <source>为 WIM 文件添加并检查完整性表.</source>
        <translation>Adds the integrity table to the WIM file and checks it.</translation>
    </message>
    <message>
        <source>把映像导出到目标 WIM 文件.</source>
        <translation>Exports the image into the target WIM file.</translation>
    </message>
</context>
<context>
    <name>ImageChooserDialog</name>
    <message>
        <source>选择映像</source>
        <translation>Choose image</translation>
    </message>
    <message>
        <source>选择</source>
        <translation>Choose</translation>
    </message>
</context>
<context>
    <name>InfoPage</name>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>获取信息</source>
        <translation>Get info</translation>
    </message>
    <message>
        <source>要显示其信息的 WIM 文件.</source>
        <translation>The WIM file to report on.</translation>
    </message>
    <message>
        <source>选择 WIM 文件.</source>
        <translation>Chooses the WIM file.</translation>
    </message>
    <message>
        <source>WIM 文件的头部, 各映像和 XML 信息.</source>
        <translation>The WIM file&apos;s header, its images and its XML information.</translation>
    </message>
    <message>
        <source>读取 WIM 文件并显示其信息.</source>
        <translation>Reads the WIM file and shows its information.</translation>
    </message>
</context>
<context>
    <name>ModifyPage</name>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>映像</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>选择...</source>
        <translation>Choose...</translation>
    </message>
    <message>
        <source>新信息</source>
        <translation>New information</translation>
    </message>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>描述</source>
        <translation>Description</translation>
    </message>
    <message>
        <source>SKU 标识</source>
        <translation>SKU flags</translation>
    </message>
    <message>
        <source>显示名称</source>
        <translation>Display name</translation>
    </message>
    <message>
        <source>显示描述</source>
        <translation>Display desc.</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>可引导</source>
        <translation>Bootable</translation>
    </message>
    <message>
        <source>检测</source>
        <translation>Check</translation>
    </message>
    <message>
        <source>修改</source>
        <translation>Modify</translation>
    </message>
    <message>
        <source>要修改的 WIM 文件.</source>
        <translation>The WIM file to modify.</translation>
    </message>
    <message>
        <source>选择要修改的 WIM 文件.</source>
        <translation>Chooses the WIM file to modify.</translation>
    </message>
    <message>
        <source>要修改的映像编号.</source>
        <translation>The number of the image to modify.</translation>
    </message>
    <message>
        <source>用箭头把映像编号加一或减一.</source>
        <translation>Steps the image number up or down by one.</translation>
    </message>
    <message>
        <source>从 WIM 文件的映像列表中选择映像编号.</source>
        <translation>Chooses the image number from the list of the WIM file&apos;s images.</translation>
    </message>
    <message>
        <source>映像的新名称; 留空则不变.</source>
        <translation>The image&apos;s new name; when left empty, the name stays.</translation>
    </message>
    <message>
        <source>映像的新描述; 留空则不变.</source>
        <translation>The image&apos;s new description; when left empty, the description stays.</translation>
    </message>
    <message>
        <source>映像的新版本标识 (FLAGS); 留空则不变.</source>
        <translation>The image&apos;s new edition flag (FLAGS); when left empty, the flag stays.</translation>
    </message>
    <message>
        <source>新的显示名称; 留空则不变.</source>
        <translation>The new display name; when left empty, the display name stays.</translation>
    </message>
    <message>
        <source>新的显示描述; 留空则不变.</source>
        <translation>The new display description; when left empty, the display description stays.</translation>
    </message>
    <message>
        <source>把此映像标记为 WIM 文件的引导映像.</source>
        <translation>Marks this image as the WIM file&apos;s boot image.</translation>
    </message>
    <message>
        <source>为 WIM 文件添加并检查完整性表.</source>
        <translation>Adds the integrity table to the WIM file and checks it.</translation>
    </message>
    <message>
        <source>把新信息写入 WIM 文件.</source>
        <translation>Writes the new information into the WIM file.</translation>
    </message>
</context>
<context>
    <name>MountPage</name>
    <message>
        <source>挂载</source>
        <translation>Mount</translation>
    </message>
    <message>
        <source>挂载点</source>
        <translation>Mount point</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>映像</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>选择...</source>
        <translation>Choose...</translation>
    </message>
    <message>
        <source>可读写</source>
        <translation>Read/write</translation>
    </message>
    <message>
        <source>卸载</source>
        <translation>Unmount</translation>
    </message>
    <message>
        <source>应用更改</source>
        <translation>Save changes</translation>
    </message>
    <message>
        <source>更新列表</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>映像挂载到的空文件夹.</source>
        <translation>The empty folder the image is mounted on.</translation>
    </message>
    <message>
        <source>选择挂载点文件夹.</source>
        <translation>Chooses the mount point folder.</translation>
    </message>
    <message>
        <source>要挂载的 WIM 文件.</source>
        <translation>The WIM file to mount.</translation>
    </message>
    <message>
        <source>选择要挂载的 WIM 文件.</source>
        <translation>Chooses the WIM file to mount.</translation>
    </message>
    <message>
        <source>要挂载的映像编号.</source>
        <translation>The number of the image to mount.</translation>
    </message>
    <message>
        <source>用箭头把映像编号加一或减一.</source>
        <translation>Steps the image number up or down by one.</translation>
    </message>
    <message>
        <source>从 WIM 文件的映像列表中选择映像编号.</source>
        <translation>Chooses the image number from the list of the WIM file&apos;s images.</translation>
    </message>
    <message>
        <source>以可读写方式挂载, 以便更改映像中的文件.</source>
        <translation>Mounts the image read/write, so that its files can be changed.</translation>
    </message>
    <message>
        <source>把映像挂载到挂载点.</source>
        <translation>Mounts the image on the mount point.</translation>
    </message>
    <message>
        <source>已挂载的映像; 选中一行即可卸载它.</source>
        <translation>The mounted images; select a row to unmount it.</translation>
    </message>
    <message>
        <source>卸载前把映像中的更改写回 WIM 文件.</source>
        <translation>Writes the changes made in the image back into the WIM file before unmounting.</translation>
    </message>
    <message>
        <source>重新读取已挂载映像的列表.</source>
        <translation>Reads the list of mounted images again.</translation>
    </message>
    <message>
        <source>卸载列表中选中的映像.</source>
        <translation>Unmounts the image selected in the list.</translation>
    </message>
</context>
<context>
    <name>ProgressDialog</name>
    <message>
        <source>处理中的映像操作</source>
        <translation>Image operation in progress</translation>
    </message>
    <message>
        <source>终止</source>
        <translation>Abort</translation>
    </message>
</context>
<!-- The toolbox pages (browse and extract, split and join, optimize and verify). -->
<context>
    <name>BrowsePage</name>
    <message>
        <source>WIM</source>
        <translation>WIM</translation>
    </message>
    <message>
        <source>要浏览的 WIM 文件和映像.</source>
        <translation>The WIM file and image to browse.</translation>
    </message>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>要浏览的 WIM, ESD 文件或拆分 WIM 的第一部分.</source>
        <translation>The WIM or ESD file, or the first part of a split WIM, to browse.</translation>
    </message>
    <message>
        <source>要浏览的 WIM, ESD 文件或拆分 WIM 的第一部分 (.swm) 的路径.</source>
        <translation>The path of the WIM or ESD file, or of the first part (.swm) of a split WIM, to browse.</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>选择要浏览的 WIM 文件.</source>
        <translation>Choose the WIM file to browse.</translation>
    </message>
    <message>
        <source>映像</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>要浏览的映像的编号.</source>
        <translation>The number of the image to browse.</translation>
    </message>
    <message>
        <source>增加或减少映像编号.</source>
        <translation>Raises or lowers the image number.</translation>
    </message>
    <message>
        <source>选择...</source>
        <translation>Choose...</translation>
    </message>
    <message>
        <source>从这个 WIM 文件的映像列表中选择映像.</source>
        <translation>Choose the image from this WIM file&apos;s list of images.</translation>
    </message>
    <message>
        <source>显示</source>
        <translation>Show</translation>
    </message>
    <message>
        <source>在下面的树中显示这个映像的文件.</source>
        <translation>Shows the files of this image in the tree below.</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>Files</translation>
    </message>
    <message>
        <source>映像中的文件和文件夹.</source>
        <translation>The files and folders in the image.</translation>
    </message>
    <message>
        <source>筛选</source>
        <translation>Filter</translation>
    </message>
    <message>
        <source>只显示名称符合这里文字的项目.</source>
        <translation>Shows only the entries whose name matches this text.</translation>
    </message>
    <message>
        <source>在整个映像中查找名称含有这些文字的项目 (可用 * 和 ?), 为空时显示文件夹树.</source>
        <translation>Finds the entries of the whole image whose name holds this text (* and ? allowed); when empty, the folder tree is shown.</translation>
    </message>
    <message>
        <source>映像中的文件夹和文件, 打开文件夹时才读取其内容; 选择要提取的项目.</source>
        <translation>The folders and files of the image, each folder read when it is opened; select the entries to extract.</translation>
    </message>
    <message>
        <source>读取映像的进度和结果.</source>
        <translation>How reading the image goes and what it found.</translation>
    </message>
    <message>
        <source>提取</source>
        <translation>Extract</translation>
    </message>
    <message>
        <source>把选择的文件和文件夹提取到一个文件夹中.</source>
        <translation>Extracts the selected files and folders into a folder.</translation>
    </message>
    <message>
        <source>目标</source>
        <translation>Target</translation>
    </message>
    <message>
        <source>提取到的文件夹.</source>
        <translation>The folder to extract into.</translation>
    </message>
    <message>
        <source>提取到的文件夹, 项目按其在映像中的路径放在这里.</source>
        <translation>The folder to extract into; each entry goes below it at its path in the image.</translation>
    </message>
    <message>
        <source>选择提取到的文件夹.</source>
        <translation>Choose the folder to extract into.</translation>
    </message>
    <message>
        <source>覆盖已有文件</source>
        <translation>Overwrite existing files</translation>
    </message>
    <message>
        <source>勾选后, 目标中已有的同名文件会被替换, 否则提取不写入任何文件.</source>
        <translation>When ticked, files of the same name in the target are replaced; otherwise the extraction writes nothing.</translation>
    </message>
    <message>
        <source>把选择的项目提取到目标文件夹.</source>
        <translation>Extracts the selected entries into the target folder.</translation>
    </message>
</context>
<context>
    <name>MaintainPage</name>
    <message>
        <source>优化</source>
        <translation>Optimize</translation>
    </message>
    <message>
        <source>重建 WIM, 去掉删除映像和修改留下的空间.</source>
        <translation>Rebuilds a WIM without the space that deleted images and changes left behind.</translation>
    </message>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>要优化的 WIM 文件.</source>
        <translation>The WIM file to optimize.</translation>
    </message>
    <message>
        <source>要优化的 WIM 文件的路径.</source>
        <translation>The path of the WIM file to optimize.</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>选择要优化的 WIM 文件.</source>
        <translation>Choose the WIM file to optimize.</translation>
    </message>
    <message>
        <source>压缩</source>
        <translation>Compression</translation>
    </message>
    <message>
        <source>重建时使用的压缩.</source>
        <translation>The compression of the rebuilt file.</translation>
    </message>
    <message>
        <source>重建时使用的压缩, 保持不变时数据原样复制.</source>
        <translation>The compression of the rebuilt file; with Keep the data is copied as stored.</translation>
    </message>
    <message>
        <source>新文件写在原文件旁边, 完成后才替换原文件,</source>
        <translation>The new file is written beside the old one and replaces it when complete,</translation>
    </message>
    <message>
        <source>而且只在原文件没有被别人更改时.</source>
        <translation>and only while no one else has changed the old file.</translation>
    </message>
    <message>
        <source>别人在优化期间更改了原文件时, 优化失败, 原文件保持不变.</source>
        <translation>When someone else changes the old file meanwhile, the optimization fails and the old file stays as it is.</translation>
    </message>
    <message>
        <source>优化如何保证原文件不会丢失.</source>
        <translation>How optimizing makes sure the old file is never lost.</translation>
    </message>
    <message>
        <source>重建来源, 并在日志中显示前后的大小.</source>
        <translation>Rebuilds the source and shows its size before and after in the log.</translation>
    </message>
    <message>
        <source>校验</source>
        <translation>Verify</translation>
    </message>
    <message>
        <source>检查一个 WIM 文件是否完好.</source>
        <translation>Checks whether a WIM file is sound.</translation>
    </message>
    <message>
        <source>要校验的 WIM 文件.</source>
        <translation>The WIM file to verify.</translation>
    </message>
    <message>
        <source>要校验的 WIM, ESD 文件或拆分 WIM 的第一部分的路径.</source>
        <translation>The path of the WIM or ESD file, or of the first part of a split WIM, to verify.</translation>
    </message>
    <message>
        <source>选择要校验的 WIM 文件.</source>
        <translation>Choose the WIM file to verify.</translation>
    </message>
    <message>
        <source>检查完整性表, 每个映像的元数据和每个数据流.</source>
        <translation>Checks the integrity table, every image&apos;s metadata and every stream.</translation>
    </message>
    <message>
        <source>校验检查的内容.</source>
        <translation>What verifying checks.</translation>
    </message>
    <message>
        <source>校验来源, 在日志中列出每个损坏的映像或数据流.</source>
        <translation>Verifies the source and names every damaged image or stream in the log.</translation>
    </message>
</context>
<context>
    <name>SplitPage</name>
    <message>
        <source>拆分</source>
        <translation>Split</translation>
    </message>
    <message>
        <source>把一个 WIM 拆分成多个部分.</source>
        <translation>Splits a WIM into several parts.</translation>
    </message>
    <message>
        <source>来源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>要拆分的 WIM 文件.</source>
        <translation>The WIM file to split.</translation>
    </message>
    <message>
        <source>要拆分的 WIM 文件的路径, 它不会被更改.</source>
        <translation>The path of the WIM file to split; it is never changed.</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>选择要拆分的 WIM 文件.</source>
        <translation>Choose the WIM file to split.</translation>
    </message>
    <message>
        <source>目标</source>
        <translation>Target</translation>
    </message>
    <message>
        <source>第一部分的文件名.</source>
        <translation>The file name of the first part.</translation>
    </message>
    <message>
        <source>第一部分的路径 (例如 install.swm), 其余部分依次为 install2.swm, install3.swm 等.</source>
        <translation>The path of the first part (for example install.swm); the others follow as install2.swm, install3.swm and so on.</translation>
    </message>
    <message>
        <source>选择第一部分的文件名.</source>
        <translation>Choose the file name of the first part.</translation>
    </message>
    <message>
        <source>分卷大小</source>
        <translation>Part size</translation>
    </message>
    <message>
        <source>每个部分最大的大小.</source>
        <translation>The largest size of each part.</translation>
    </message>
    <message>
        <source>每个部分最大的大小, 以 MB 为单位.</source>
        <translation>The largest size of each part, in MB.</translation>
    </message>
    <message>
        <source>MB</source>
        <translation>MB</translation>
    </message>
    <message>
        <source>分卷大小的单位.</source>
        <translation>The unit of the part size.</translation>
    </message>
    <message>
        <source>4000 MB 的部分适合 FAT32 格式的 U 盘, 例如用于 UEFI 启动.</source>
        <translation>Parts of 4000 MB fit on a FAT32 USB stick, for example for UEFI boot.</translation>
    </message>
    <message>
        <source>FAT32 的单个文件不能大于 4 GB. 来源不会被更改.</source>
        <translation>FAT32 holds no file larger than 4 GB. The source is never changed.</translation>
    </message>
    <message>
        <source>FAT32 的文件大小上限, 以及拆分不会更改来源.</source>
        <translation>The file size limit of FAT32, and that splitting never changes the source.</translation>
    </message>
    <message>
        <source>为什么要拆分: FAT32 U 盘不能存放大于 4 GB 的 install.wim.</source>
        <translation>Why split: a FAT32 USB stick cannot hold an install.wim larger than 4 GB.</translation>
    </message>
    <message>
        <source>把来源拆分成部分, 写到目标.</source>
        <translation>Splits the source into parts written at the target.</translation>
    </message>
    <message>
        <source>合并</source>
        <translation>Join</translation>
    </message>
    <message>
        <source>把拆分的 WIM 合并成一个 WIM.</source>
        <translation>Joins a split WIM into one WIM.</translation>
    </message>
    <message>
        <source>拆分 WIM 的第一部分.</source>
        <translation>The first part of the split WIM.</translation>
    </message>
    <message>
        <source>拆分 WIM 的第一部分 (.swm) 的路径, 其余部分在它旁边.</source>
        <translation>The path of the first part (.swm) of the split WIM; the other parts lie beside it.</translation>
    </message>
    <message>
        <source>选择拆分 WIM 的第一部分.</source>
        <translation>Choose the first part of the split WIM.</translation>
    </message>
    <message>
        <source>合并成的 WIM 文件.</source>
        <translation>The WIM file to write.</translation>
    </message>
    <message>
        <source>合并成的 WIM 文件的路径.</source>
        <translation>The path of the WIM file to write.</translation>
    </message>
    <message>
        <source>选择合并成的 WIM 文件.</source>
        <translation>Choose the WIM file to write.</translation>
    </message>
    <message>
        <source>把所有部分合并成目标 WIM.</source>
        <translation>Joins all parts into the target WIM.</translation>
    </message>
</context>
</TS>
